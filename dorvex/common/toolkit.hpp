// The toolkit's documented interface, and the one file that names the
// toolkit. Each function here wraps one documented call with the documented
// arguments, so that a call outside that contract does not compile. The
// modules bind the toolkit's submodules in their own namespace at load time
// and the wrappers look them up there at the moment of use, so a caller who
// rebinds `module.fileMg` is honoured. No guarantee of ours rests on what a
// toolkit does beyond these calls: the guards live in the other common files.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <utility>

#include "pyutil.hpp"

namespace dorvex::toolkit {

// from corvalib import <submodules>
inline void import_submodules(py::module_& m, std::initializer_list<const char*> submodules) {
    for (const char* name : submodules)
        m.attr(name) = py::module_::import((std::string("corvalib.") + name).c_str());
}

// from corvalib import <submodules>; log = app_logging.lazy_logger(<logger>)
inline void import_into(py::module_& m, std::initializer_list<const char*> submodules,
                        const char* logger) {
    import_submodules(m, submodules);
    m.attr("log") = py::module_::import("corvalib.app_logging").attr("lazy_logger")(logger);
}

// --- fileMg ----------------------------------------------------------------

// The template written into the current directory; its path.
inline py::object generate_json_template(const Globals& g, py::handle data, const char* filename) {
    return g["fileMg"].attr("generate_json_template")(data, filename);
}

// load_json_file(path, required_keys=["config"]): false after the toolkit
// reported the failure, else a sequence whose element 0 is "config".
inline py::object load_json_file(const Globals& g, py::handle path) {
    return g["fileMg"].attr("load_json_file")(path, "required_keys"_a = list_of("config"));
}

// checkFileOrDir(path) == 0: the folder is usable.
inline bool folder_usable(const Globals& g, py::handle path) {
    return g["fileMg"].attr("checkFileOrDir")(path).equal(py::int_(0));
}

// The two parallel lists (paths, names shown), in processing order.
// `recursive` is left out of the call when not given.
inline std::pair<py::object, py::object> find_files_with_extensions(
    const Globals& g, py::handle in_path, py::handle extensions,
    std::optional<bool> recursive = std::nullopt) {
    py::object find = g["fileMg"].attr("find_files_with_extensions");
    py::object found = recursive ? find("in_path"_a = in_path, "extensions"_a = extensions,
                                        "recursive"_a = *recursive)
                                 : find("in_path"_a = in_path, "extensions"_a = extensions);
    return unpack_pair(found);
}

inline py::object get_output_file_path(const Globals& g, py::handle folder, py::handle name) {
    return g["fileMg"].attr("get_output_file_path")(folder, name);
}

inline bool check_file_exists(const Globals& g, py::handle path, py::handle allowed_extensions) {
    return truthy(
        g["fileMg"].attr("check_file_exists")(path, "allowed_extensions"_a = allowed_extensions));
}

inline py::object get_folder_from_path(const Globals& g, py::handle path) {
    return g["fileMg"].attr("get_folder_from_path")(path);
}

inline py::object generate_output_path(const Globals& g, py::handle folder,
                                       const char* sub_folder) {
    return g["fileMg"].attr("generate_output_path")(folder, sub_folder);
}

inline void move_file_force(const Globals& g, py::handle src, py::handle dest, py::handle backup) {
    g["fileMg"].attr("move_file_force")("src"_a = src, "dest"_a = dest, "backup"_a = backup);
}

// --- parseTools --------------------------------------------------------------

// (matched, caption) of one file name.
inline std::pair<py::object, py::object> parse_fn_pattern(const Globals& g, py::handle fn,
                                                          py::handle pattern,
                                                          py::handle fn_prefix) {
    return unpack_pair(
        g["parseTools"].attr("parseFn_pattern")(fn, pattern, "fn_prefix"_a = fn_prefix));
}

// --- excelTools --------------------------------------------------------------

// A table with one column per key of `mapping` (name -> start cell).
inline py::object read_csv_by_cells(const Globals& g, py::handle path, py::handle mapping) {
    return g["excelTools"].attr("read_csv_by_cells")(path, mapping);
}

inline py::object read_excel_by_cells(const Globals& g, py::handle path, py::handle mapping) {
    return g["excelTools"].attr("read_excel_by_cells")(path, mapping);
}

inline py::object merge_exact_match(const Globals& g, py::handle df_left, py::handle df_right,
                                    py::handle num_keys, const char* how, py::handle suffixes) {
    return g["excelTools"].attr("merge_exact_match")("df_left"_a = df_left, "df_right"_a = df_right,
                                                     "num_keys"_a = num_keys, "how"_a = how,
                                                     "suffixes"_a = suffixes);
}

// True when the workbook was written.
inline bool write_formatted_excel(const Globals& g, py::handle path, py::handle sheets) {
    return truthy(g["excelTools"].attr("write_formatted_excel")(path, sheets));
}

}  // namespace dorvex::toolkit
