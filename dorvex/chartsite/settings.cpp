// The configuration checked before anything is made: a wrong type would
// otherwise surface as a traceback or an odd path deep in the run
// (os.path.exists(5) tests a file descriptor), a NUL in a folder as
// "embedded null byte"; each is one line naming the key instead. Absent keys
// keep their defaults.
#include "chartsite.hpp"
#include "common/command.hpp"

namespace dorvex {

void check_settings(const Globals& g, py::handle file, py::handle conf) {
    warn_unknown_keys(g, file, "config", conf, keys_of(CONFIG_KEYS));
    py::dict config = check_object(g, file, "config", conf);
    check_path_keys(g, file, config, "config", {"input_folder", "output_folder"}, true);
    check_text_keys(g, file, config, "config", {"index_title"});
    for (const char* key : {"doc_titles", "chart_titles"})
        if (config.contains(key))
            check_text_map(g, file, std::string("config.") + key, config[key]);
}

}  // namespace dorvex
