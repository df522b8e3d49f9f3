// card-hall: the page worker `CardhallGenerator`, the settings table and the
// checks of a configuration.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "common/pyutil.hpp"
#include "common/settings.hpp"

namespace dorvex {

inline constexpr Globals g_cardhall{"dorvex.cardhall"};

// The settings a card file may hold besides its cards (document<N>_title,
// _file, _description, _icon), with the values used when they are absent.
// The template is the YAML text of templates.hpp, comments and all.
inline constexpr Key SETTINGS[] = {
    {"folder_path", ABSENT, text("./data_cardhall")},
    {"base_url", ABSENT, text("")},
    {"document_title", ABSENT, text("Documentation")},
    {"document_description", ABSENT, text("")},
    {"download_link", ABSENT, text("package.zip")},
    {"show_download_link", ABSENT, boolean(true)},
};

// The worker; its configuration lives in the instance dictionary.
struct CardhallGenerator {};

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

// settings.cpp: the checks of a configuration file made before the page is
// built: YAML aliases that blow up, values the page cannot show, unknown keys
// (warned about). A bad value is one line naming `file` and the key, status 1.
void check_settings(const Globals& g, py::handle file, py::handle conf);

// generate.cpp: binds `CardhallGenerator`.
void init_generator(py::module_& m);

}  // namespace dorvex
