// The worker Tallyrun: its settings as attributes, and the run around the
// table pipeline: the overwrite guard, the system file check and the one
// failure guard that turns an error into the run's (False, message).
#include "tallyrun.hpp"

#include <optional>
#include <string>
#include <vector>

#include "common/command.hpp"
#include "common/toolkit.hpp"

namespace dorvex {

namespace {

const auto& g = g_tallyrun;

// The worker; its attributes live in the instance dictionary and stay Python
// objects: paths and cell references go to the toolkit exactly as the
// configuration gave them (None included).
struct Tallyrun {};

void construct(py::object self, py::object config) {
    for (const char* key : {"system_data_path", "customer_data_path", "output_dir"})
        self.attr(key) = setting(config, keys_of(CONFIG_KEYS), key);
    py::object sys = setting(config, keys_of(CONFIG_KEYS), "system_data");
    for (const Field& field : SYSTEM_FIELDS)
        self.attr(field.attribute) = setting(sys, keys_of(SYSTEM_DATA_KEYS), field.key);
    py::object cus = setting(config, keys_of(CONFIG_KEYS), "customer_data");
    for (const Field& field : CUSTOMER_FIELDS)
        self.attr(field.attribute) = setting(cus, keys_of(CUSTOMER_DATA_KEYS), field.key);
    for (const char* table : {"system_df", "customer_df", "result_df"})
        self.attr(table) = py::none();
}

// Makes `exc` the exception being handled while it lives: log.exception
// prints that one's traceback, and outside an except block it would print
// "NoneType: None".
class Handling {
public:
    explicit Handling(py::handle exc) : previous_(PyErr_GetHandledException()) {
        PyErr_SetHandledException(exc.ptr());
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;
    ~Handling() {
        PyErr_SetHandledException(previous_);
        Py_XDECREF(previous_);
    }

private:
    PyObject* previous_;
};

// One record with the traceback of `exc` alone: an error that a library
// raised while handling another (a broken sheet's XML, say) would otherwise
// bring that one's traceback along.
void log_exception(const char* msg, py::handle exc) {
    exc.attr("__cause__") = py::none();  // hides the context as well
    Handling handling(exc);
    log(g, "exception", msg);
}

// Neither workbook the run writes may replace the system CSV, the customer
// workbook (a user may feed an earlier result back in) or the configuration.
// The paths are those the run will use, found without creating the folder;
// an output_dir that is no path fails later, in the run's guard.
bool outputs_are_free(py::handle self, py::handle config_file) {
    py::object folder = self.attr("output_dir");
    if (!truthy(folder)) folder = py::str(".");
    py::object os = g["os"];
    if (!py::isinstance(folder, os.attr("PathLike")) && !py::isinstance<py::str>(folder))
        return true;
    py::list inputs = list_of(self.attr("system_data_path"), self.attr("customer_data_path"));
    std::vector<const char*> outputs{RESULT_FILE};
    if (debug_mode()) outputs.push_back(DEBUG_FILE);
    for (const char* name : outputs) {
        py::object path = os.attr("path").attr("join")(folder, name);
        if (!output_is_free(g, config_file, "output_dir", path, inputs)) return false;
    }
    return true;
}

py::tuple read_dates_of(py::object values) {
    auto [dates, unreadable] = read_dates(g["pd"].attr("Series")(values, "dtype"_a = "object"));
    return py::make_tuple(dates, unreadable);
}

}  // namespace

bool debug_mode() { return str(g["os"].attr("environ").attr("get")(DEBUG_SWITCH, "")) == "1"; }

py::tuple run(py::object self, py::object config_file) {
    if (!outputs_are_free(self, config_file))
        return py::make_tuple(false, "output_dir would overwrite an input file");
    py::object system_path = self.attr("system_data_path");
    log(g, "info", "Starting TallyRUN process on system data: " + str(system_path));
    if (auto problem = input_problem(system_path, SYSTEM_INPUT))
        return py::make_tuple(false, *problem);
    log(g, "info", "Loading System data from: " + str(system_path));

    std::optional<py::tuple> outcome;
    auto failure = catch_ordinary([&] { outcome = run_pipeline(self); });
    if (!failure) return *outcome;
    log_exception("Error during data processing", *failure);
    return py::make_tuple(false, py::str(*failure));
}

void init_tallyrun(py::module_& m) {
    m.def("_read_dates", &read_dates_of, py::arg("values"),
          "(dates, unreadable) of date cells or texts, one format per column.");
    py::class_<Tallyrun> cls(m, "Tallyrun", py::dynamic_attr());
    def_dict_init(cls, &construct, py::arg("config"));
    cls.def("run", &run, py::arg("config_file") = py::none(),
            "Match the system lines against the customer's and write the result workbook; "
            "(success, message). `config_file` is the configuration the command read.");
}

}  // namespace dorvex
