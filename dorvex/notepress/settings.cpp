// The settings checked before any note is read: a value of the wrong kind
// would fail every note (or the whole run with a traceback); one line says
// which key.
#include "common/command.hpp"
#include "notepress.hpp"

namespace dorvex {

void check_settings(const Globals& g, py::handle file, py::handle conf) {
    warn_unknown_keys(g, file, "config", conf, keys_of(CONFIG_KEYS));
    py::dict config = check_object(g, file, "config", conf);
    check_path_keys(g, file, config, "config", {"input_path", "output_path"});
    check_text_keys(g, file, config, "config", {"watermark_text"});
    // Switches go by truth value (0 and null are off), but the text "false"
    // would be on.
    for (const char* key : {"embed_images", "watermark_enable"}) {
        if (!config.contains(key)) continue;
        py::object value = config[key];
        if (py::isinstance<py::str>(value) || py::isinstance<py::list>(value) ||
            py::isinstance<py::dict>(value))
            config_error(g, file, std::string("config.") + key, "true or false", value);
    }
}

}  // namespace dorvex
