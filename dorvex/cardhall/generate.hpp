// The page worker `CardhallGenerator` and the type check of a configuration.
#pragma once

#include <optional>
#include <string>

#include "common/pyutil.hpp"

namespace dorvex {

inline constexpr Globals g_cardhall{"dorvex.cardhall"};

// A configuration value the page cannot be built from: `key` must be `what`.
struct BadSetting {
    std::string key;
    const char* what;
    py::object value;
};

// The first value of `config` (a mapping) that would stop the page half-way:
// a key that is not text, or a base address, card file or folder that is not
// text where it is used.
std::optional<BadSetting> find_bad_setting(py::handle config);

// Binds `CardhallGenerator`.
void init_generator(py::module_& m);

}  // namespace dorvex
