// The mmdc children: their settings, their time limit, their temporary
// folders, and running up to N of them at once while results are taken in
// submission order.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string_view>

#include "chartsite.hpp"

namespace dorvex {

namespace {

// How long a diagram may take when DORVEX_MMDC_TIMEOUT does not say.
constexpr double DEFAULT_TIMEOUT_SECONDS = 120.0;
// More children than diagrams never start; the cap keeps the count a
// machine number.
constexpr long long MAX_JOBS = 4096;
// How long a stopped child may take to close its browser before it is killed.
constexpr double STOP_GRACE_SECONDS = 5;
// How often running children are looked at while one is waited for.
constexpr double POLL_SECONDS = 0.01;
// The status of a child that never ran mmdc, as a shell gives it.
constexpr int NOT_RUN_STATUS = 127;

// Where Chromium keeps its socket under TMPDIR, and the longest socket path.
constexpr std::string_view CHROMIUM_SOCKET = "/org.chromium.Chromium.XXXXXX/SingletonSocket";
constexpr std::size_t SOCKET_PATH_MAX = sizeof(sockaddr_un{}.sun_path) - 1;
// A renderer's folder: the prefix and the random letters mkdtemp adds.
constexpr const char* RENDERER_PREFIX = "mmdc-";
constexpr std::size_t RANDOM_LETTERS = 8;
// The folder a TMPDIR too long for the socket gives way to.
constexpr const char* SHORT_TMP = "/tmp";

// An environment setting: `parse` of its text, or `fallback` when unset or
// empty; a value `parse` rejects (ValueError) is a ValueError naming it.
template <class Parse>
py::object env_setting(const char* name, const char* what, py::object fallback, Parse&& parse) {
    py::object text = g_chartsite["os"].attr("environ").attr("get")(name, "");
    if (!truthy(text.attr("strip")())) return fallback;
    py::object value;
    if (!catch_python(PyExc_ValueError, [&] { value = parse(text); }) && value) return value;
    throw py::value_error(std::string(name) + " must be " + what + " (got " + str(py::repr(text)) +
                          ")");
}

double now() { return py::module_::import("time").attr("monotonic")().cast<double>(); }

// Runs in the child between fork and exec. mmdc gets SIGTERM when this
// process dies, even by SIGKILL, and then closes its browser; a parent gone
// before the request took hold means nobody waits for this child.
py::cpp_function die_with_parent() {
    pid_t parent = getpid();
    return py::cpp_function([parent] {
        if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != parent) _exit(NOT_RUN_STATUS);
    });
}

// Starts `argv` in a process group of its own (a time-out ends its children
// with it), with `tmpdir` as its TMPDIR; `out` and `err` as Popen takes them
// (None: the console).
py::object spawn(py::handle argv, py::handle tmpdir, py::handle out, py::handle err) {
    py::object os = g_chartsite["os"];
    py::dict env(os.attr("environ").attr("copy")());
    env["TMPDIR"] = tmpdir;
    return g_chartsite["subprocess"].attr("Popen")(argv, "process_group"_a = 0, "env"_a = env,
                                                   "preexec_fn"_a = die_with_parent(),
                                                   "stdout"_a = out, "stderr"_a = err);
}

// A temporary folder of a renderer's own. Chromium keeps a socket in it
// (CHROMIUM_SOCKET), and a socket path is short: under a TMPDIR too long
// for that the folder goes into SHORT_TMP, where the browser can start.
py::object renderer_tmpdir() {
    py::object os = g_chartsite["os"];
    py::module_ tempfile = py::module_::import("tempfile");
    py::object base = tempfile.attr("gettempdir")();
    constexpr std::size_t folder = 1 + std::string_view(RENDERER_PREFIX).size() + RANDOM_LETTERS;
    constexpr std::size_t room = SOCKET_PATH_MAX - CHROMIUM_SOCKET.size() - folder;
    if (py::len(os.attr("fsencode")(base)) > room &&
        truthy(os.attr("path").attr("isdir")(SHORT_TMP)))
        base = py::str(SHORT_TMP);
    return tempfile.attr("mkdtemp")("prefix"_a = RENDERER_PREFIX, "dir"_a = base);
}

// Chromium runs in a session of its own, so neither the process group nor
// mmdc's end is sure to end it; every process still carrying the child's
// TMPDIR in its environment is one of its descendants.
void kill_marked(const std::string& tmpdir) {
    const std::string marker = std::string(1, '\0') + "TMPDIR=" + tmpdir + std::string(1, '\0');
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream file(entry.path() / "environ", std::ios::binary);
        std::string env(1, '\0');
        env.append(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        env.push_back('\0');
        if (env.find(marker) != std::string::npos) kill(std::stoi(name), SIGKILL);
    }
}

// A renderer's folder removed, and whatever still runs in its name stopped
// first, so that nothing writes into it afterwards.
void remove_renderer_tmpdir(py::handle tmpdir) {
    kill_marked(str(tmpdir));
    g_chartsite["shutil"].attr("rmtree")(tmpdir, "ignore_errors"_a = true);
}

}  // namespace

RenderSettings render_settings() {
    py::object os = g_chartsite["os"];
    py::object cores = py::hasattr(os, "sched_getaffinity")
                           ? py::object(py::int_(py::len(os.attr("sched_getaffinity")(0))))
                           : os.attr("cpu_count")();
    if (cores.is_none()) cores = py::int_(1);
    py::object jobs = env_setting("DORVEX_JOBS", "a positive whole number", cores,
                                  [](py::handle text) -> py::object {
                                      py::int_ n(py::reinterpret_borrow<py::object>(text));
                                      return truthy(n.attr("__ge__")(1)) ? n : py::object();
                                  });
    jobs = py::module_::import("builtins").attr("min")(jobs, MAX_JOBS);
    py::object timeout =
        env_setting("DORVEX_MMDC_TIMEOUT", "a positive number of seconds",
                    py::float_(DEFAULT_TIMEOUT_SECONDS), [](py::handle text) -> py::object {
                        py::float_ t(py::reinterpret_borrow<py::object>(text));
                        double v = t.cast<double>();
                        return v > 0 && std::isfinite(v) ? t : py::object();
                    });
    return {static_cast<std::size_t>(jobs.cast<long long>()), timeout.cast<double>()};
}

py::object renderer_version(double timeout) {
    py::object subprocess = g_chartsite["subprocess"];
    py::object tmpdir = renderer_tmpdir();
    py::object version = py::none();
    auto failed = catch_ordinary([&] {
        py::object proc = spawn(list_of("mmdc", "--version"), tmpdir, subprocess.attr("PIPE"),
                                subprocess.attr("DEVNULL"));
        py::object out;
        if (catch_python(subprocess.attr("TimeoutExpired").ptr(), [&] {
                out = proc.attr("communicate")("timeout"_a = timeout)[py::int_(0)];
            })) {
            proc.attr("kill")();
            proc.attr("wait")();
            return;
        }
        py::str text(out.attr("decode")("utf-8", "replace").attr("strip")());
        if (proc.attr("returncode").cast<int>() == 0 && truthy(text)) version = text;
    });
    remove_renderer_tmpdir(tmpdir);
    return failed ? py::none() : version;
}

Renderer::Renderer(RenderSettings settings) : settings_(settings) {}

Renderer::~Renderer() {
    // An exception or an interrupt left children running: none may outlive
    // the run, nor write into a temporary file already removed.
    py::error_scope keep;
    for (Job& job : jobs_) {
        if (!job.proc || job.done) continue;
        try {
            stop(job);
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable("stopping mmdc");
        }
    }
}

std::size_t Renderer::submit(ChildSpec spec) {
    Job job;
    job.spec = std::move(spec);
    jobs_.push_back(std::move(job));
    return jobs_.size() - 1;
}

void Renderer::start(Job& job) {
    py::object log = py::none();
    auto failure = catch_ordinary([&] {
        job.tmpdir = renderer_tmpdir();
        py::object err = py::none();
        if (!job.spec.log.is_none()) {
            log = py::module_::import("builtins").attr("open")(job.spec.log, "wb");
            err = g_chartsite["subprocess"].attr("STDOUT");
        }
        job.proc = spawn(job.spec.argv, job.tmpdir, log, err);
        job.deadline = now() + settings_.timeout;
        ++running_;
    });
    if (!log.is_none()) log.attr("close")();  // the child has its own descriptor
    if (failure) {                            // mmdc could not be started: that diagram fails
        job.start_error = *failure;
        job.done = true;
        finish(job);
    }
}

void Renderer::finish(Job& job) {
    if (!job.tmpdir) return;
    remove_renderer_tmpdir(job.tmpdir);
    job.tmpdir = py::object();
}

void Renderer::stop(Job& job) {
    // SIGTERM first: mmdc then closes its browser, which runs in a session of
    // its own, and removes the browser's profile folder. SIGKILL for the group
    // when it does not end within a few seconds.
    py::object os = g_chartsite["os"];
    py::module_ signal = py::module_::import("signal");
    auto signal_group = [&](const char* sig) {
        catch_python(PyExc_ProcessLookupError,
                     [&] { os.attr("killpg")(job.proc.attr("pid"), signal.attr(sig)); });
    };
    signal_group("SIGTERM");
    if (catch_python(g_chartsite["subprocess"].attr("TimeoutExpired").ptr(),
                     [&] { job.proc.attr("wait")("timeout"_a = STOP_GRACE_SECONDS); })) {
        signal_group("SIGKILL");
        job.proc.attr("wait")();
    }
    job.done = true;
    --running_;
    finish(job);
}

void Renderer::poll() {
    double t = now();
    for (Job& job : jobs_) {
        if (!job.proc || job.done) continue;
        job.status = job.proc.attr("poll")();
        if (!job.status.is_none()) {
            job.done = true;
            --running_;
            finish(job);
            continue;
        }
        if (job.spec.written) {
            std::size_t written = job.spec.written();
            if (written > job.written) {
                job.written = written;
                job.deadline = t + settings_.timeout;
            }
        }
        if (t > job.deadline) {
            stop(job);
            job.timed_out = true;
        }
    }
}

py::object Renderer::wait(std::size_t id, py::handle shown) {
    Job& job = jobs_.at(id);
    py::object sleep = py::module_::import("time").attr("sleep");
    while (!job.done) {
        // Started in submission order, so with one slot the order is strictly
        // one render after the other.
        while (running_ < settings_.jobs && next_ < jobs_.size()) start(jobs_[next_++]);
        poll();
        if (!job.done) sleep(POLL_SECONDS);
    }
    py::object subprocess = g_chartsite["subprocess"];
    if (job.start_error) return job.start_error;
    if (job.timed_out) return subprocess.attr("TimeoutExpired")(shown, settings_.timeout);
    if (truthy(job.status)) return subprocess.attr("CalledProcessError")(job.status, shown);
    return py::none();
}

py::object mermaid_error(py::handle svg_text) {
    // Mermaid draws some parse failures as a picture, and mmdc exits 0. Its
    // lines ("Syntax error in text", "mermaid version ...") are error-text
    // elements; a label of a real diagram never is one.
    py::module_ re = py::module_::import("re");
    const char* root = R"(<svg\b[^>]*\baria-roledescription=["']error["'])";
    const char* line = R"(<text\b[^>]*class="error-text"[^>]*>([^<]*)</text>)";
    py::list lines = re.attr("findall")(line, svg_text);
    bool marked = !re.attr("search")(root, svg_text).is_none();
    if (!marked && !lines.contains(py::str("Syntax error in text"))) return py::none();
    py::object said =
        lines.empty() ? py::str("Syntax error in text") : py::str("; ").attr("join")(lines);
    return py::str("mmdc drew Mermaid's error picture: ") + py::str(said);
}

}  // namespace dorvex
