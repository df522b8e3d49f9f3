// The page worker `CardhallGenerator` and the checks of a configuration.
#pragma once

#include <cstddef>
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

// Card number -> {field: value}, in the mapping's order so that a later key
// for the same field wins. With `set_by`, also card number -> {field: key}.
py::dict collect_cards(py::handle config, py::dict* set_by = nullptr);

// Whether a card's file is joined with the base address: a real file (not
// "#") that is not already an http(s) address, case-sensitive.
bool joins_base(py::handle base_url, py::handle file);

// The first value of `config` (a mapping) that would stop the page half-way:
// a key that is not text, or a base address, card file or folder that is not
// text where it is used. With `strict` (a configuration file), also any
// value the page shows that is not text, a number or a date: null, a
// boolean, a list or a mapping.
std::optional<BadSetting> find_bad_setting(py::handle config, bool strict = false);
// The same with the cards already collected (`set_by` as collect_cards fills it).
std::optional<BadSetting> find_bad_setting(py::handle config, bool strict, const py::dict& docs,
                                           const py::dict& set_by);

// About how many characters the values of `config` come to as text, YAML
// aliases expanded (a shared list counts each time it is used). Counting
// stops soon after `limit`.
std::size_t expanded_size(py::handle config, std::size_t limit);

// folder_path/index.html, where the page goes.
py::object page_path(py::handle config);

// Binds `CardhallGenerator`.
void init_generator(py::module_& m);

}  // namespace dorvex
