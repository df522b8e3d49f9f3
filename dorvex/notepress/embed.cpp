// Local images as Base64 data URIs, and the watermark style block.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "common/files.hpp"
#include "notepress.hpp"

namespace dorvex {

namespace {

const auto& g = g_notepress;

// Only files with these names are embedded, and only when their content is
// an image too: an image tag may name any local file, and a page is made to
// be shared, so a crafted tag must not copy a key file into it.
constexpr const char* IMAGE_EXTENSIONS[] = {".png", ".jpg", ".jpeg", ".gif", ".svg", ".webp",
                                            ".bmp", ".ico", ".avif", ".tif", ".tiff"};

constexpr const char* IMAGE_TAG = R"re(<img[^>]+src="([^">]+)")re";

constexpr const char* NOT_AN_IMAGE = "Not an image file, left as a reference: ";
constexpr const char* NOT_FOUND = "Image not found during conversion: ";
constexpr const char* OUTSIDE = "Image outside the input folder, left as a reference: ";

std::string lower_extension(py::handle path) {
    py::object ext = g["os"].attr("path").attr("splitext")(path)[py::int_(1)];
    return str(ext.attr("lower")());
}

bool is_image_name(const std::string& ext) {
    for (const char* known : IMAGE_EXTENSIONS)
        if (ext == known) return true;
    return false;
}

const char* media_type(const std::string& ext) {
    if (ext == ".jpg" || ext == ".jpeg") return "image/jpeg";
    if (ext == ".gif") return "image/gif";
    if (ext == ".svg") return "image/svg+xml";
    return "image/png";
}

bool starts_with(std::string_view data, std::string_view prefix) {
    return data.substr(0, prefix.size()) == prefix;
}

// AVIF is an ISO media file whose first box, "ftyp", lists the brand avif
// (a still image) or avis (a sequence): box size and type, then the major
// brand, a minor version and the compatible brands, four bytes each.
constexpr size_t FIELD = 4;  // the four-byte fields and tags of image headers
constexpr size_t MAJOR_BRAND = 2 * FIELD;
constexpr size_t COMPATIBLE_BRANDS = MAJOR_BRAND + 2 * FIELD;

bool is_avif(std::string_view b) {
    if (b.size() < COMPATIBLE_BRANDS || b.substr(FIELD, FIELD) != "ftyp") return false;
    size_t box_size = 0;
    for (size_t i = 0; i < FIELD; ++i) box_size = (box_size << 8) | uint8_t(b[i]);
    size_t end = std::min(b.size(), box_size);
    for (size_t i = MAJOR_BRAND; i + FIELD <= end;
         i += (i == MAJOR_BRAND ? 2 * FIELD : FIELD))  // past the minor version
        if (b.substr(i, FIELD) == "avif" || b.substr(i, FIELD) == "avis") return true;
    return false;
}

// A bitmap's file header: "BM", the file size, two reserved 16-bit fields
// that are zero, the offset of the pixels. "BM" alone starts many a text.
constexpr size_t BMP_RESERVED = 6, BMP_HEADER = 14;
// A WebP file is a RIFF container: "RIFF", a size, then "WEBP".
constexpr size_t RIFF_FORM = 8;

// An SVG is XML whose root element is svg (in the SVG namespace or none).
// expat refuses entity blow-ups and loads no external entity.
bool is_svg(std::string_view data) {
    bool svg = false;
    catch_ordinary([&] {
        py::object root = py::module_::import("xml.etree.ElementTree")
                              .attr("fromstring")(py::bytes(data.data(), data.size()));
        std::string tag = str(root.attr("tag"));
        svg = tag == "svg" || tag == "{http://www.w3.org/2000/svg}svg";
    });
    return svg;
}

bool is_image_content(std::string_view b) {
    using namespace std::string_view_literals;
    for (std::string_view sig : {"\x89PNG\r\n\x1a\n"sv, "\xff\xd8\xff"sv, "GIF87a"sv, "GIF89a"sv,
                                 "II*\0"sv, "MM\0*"sv, "\0\0\x01\0"sv})
        if (starts_with(b, sig)) return true;
    if (starts_with(b, "BM") && b.size() >= BMP_HEADER &&
        b.substr(BMP_RESERVED, FIELD) == "\0\0\0\0"sv)
        return true;
    if (starts_with(b, "RIFF") && b.substr(RIFF_FORM, FIELD) == "WEBP") return true;
    return is_avif(b) || is_svg(b);
}

// A system call again when a signal interrupted it and its handler (Ctrl-C,
// say) raised nothing, as Python's own calls do.
template <class Call>
auto retry(Call call) {
    while (true) {
        auto result = call();
        if (result >= 0 || errno != EINTR) return result;
        if (PyErr_CheckSignals() < 0) throw py::error_already_set();
    }
}

[[noreturn]] void raise_errno(py::handle shown) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, shown.ptr());
    throw py::error_already_set();
}

class FdGuard {
public:
    explicit FdGuard(int fd) : fd_(fd) {}
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    ~FdGuard() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

// The bytes of the regular file at `real` (a path without links), in one
// open and, as a rule, one read; errors name `shown`. Anything but a regular
// file is refused before it is opened (a device may act on being opened)
// and again on the descriptor, in case the file was swapped meanwhile.
std::string read_regular(const std::string& real, py::handle shown) {
    struct stat info;
    if (retry([&] { return ::stat(real.c_str(), &info); }) < 0) raise_errno(shown);
    refuse_special(info.st_mode, shown);
    FdGuard fd(retry(
        [&] { return ::open(real.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW); }));
    if (fd.get() < 0 || ::fstat(fd.get(), &info) < 0) raise_errno(shown);
    refuse_special(info.st_mode, shown);
    // one byte more than the size: a shorter read is the end of a regular file
    std::string data(static_cast<size_t>(info.st_size) + 1, '\0');
    size_t used = 0;
    while (true) {
        ssize_t n = retry([&] { return ::read(fd.get(), &data[used], data.size() - used); });
        if (n < 0) raise_errno(shown);
        used += static_cast<size_t>(n);
        if (n == 0 || used < data.size()) break;
        data.resize(data.size() * 2);  // the file grew since
    }
    data.resize(used);
    return data;
}

// The real path of `path` (links followed), or "" when it names nothing:
// missing, a broken or looping link, no permission to look.
std::string real_path(py::handle path) {
    std::string bytes = g["os"].attr("fsencode")(path).cast<std::string>();
    if (bytes.find('\0') != std::string::npos) return "";  // no file has such a name
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(bytes.c_str(), nullptr),
                                                     &std::free);
    return real ? std::string(real.get()) : std::string();
}

bool inside(const std::string& root, const std::string& real) {
    if (real.compare(0, root.size(), root) != 0) return false;
    return real.size() == root.size() || root.back() == '/' || real[root.size()] == '/';
}

enum class Read { failed, not_image, ok };

// The file at `real` read into `data` when it is an image; a read error is
// logged as the failure to encode `shown`.
Read read_image(const std::string& real, py::handle shown, std::string& data) {
    auto failure = catch_ordinary([&] { data = read_regular(real, shown); });
    if (failure) {
        log(g, "warning", "Failed to encode image " + str(shown) + ": " + str(*failure));
        return Read::failed;
    }
    return is_image_content(data) ? Read::ok : Read::not_image;
}

py::object data_uri(const std::string& ext, const std::string& data) {
    py::object encoded = g["base64"].attr("b64encode")(py::bytes(data));
    std::string uri = std::string("data:") + media_type(ext) + ";base64,";
    uri.append(PyBytes_AS_STRING(encoded.ptr()),
               static_cast<size_t>(PyBytes_GET_SIZE(encoded.ptr())));
    return py::str(uri);
}

// What the replacer of one note needs.
struct Note {
    ImageRoot& root;
    py::object folder;  // the note's folder, which sources are relative to
    bool is_debug;
};

// One image tag: its local source replaced by a data URI, else the tag as
// it was, with a warning saying why.
py::object replace_img(Note& note, py::handle match) {
    py::object whole = match.attr("group")(0);
    py::object src = match.attr("group")(1);
    std::string src_text = str(src);
    if (starts_with(src_text, "http://") || starts_with(src_text, "https://") ||
        starts_with(src_text, "data:"))
        return whole;
    py::object decoded_src = g["urllib"].attr("parse").attr("unquote")(src);
    py::object abs_img_path = g["os"].attr("path").attr("join")(note.folder, decoded_src);
    auto keep = [&](const char* why) {
        log(g, "warning", why + str(abs_img_path));
        return whole;
    };
    std::string ext = lower_extension(abs_img_path);
    if (!is_image_name(ext)) return keep(NOT_AN_IMAGE);
    std::string real = real_path(abs_img_path);
    if (real.empty()) return keep(NOT_FOUND);
    if (note.root.real.empty()) {
        py::object os = g["os"];
        note.root.real = os.attr("fsencode")(os.attr("path").attr("realpath")(note.root.input_path))
                             .cast<std::string>();
    }
    if (!inside(note.root.real, real)) return keep(OUTSIDE);
    std::string data;
    switch (read_image(real, abs_img_path, data)) {
        case Read::ok:
            break;
        case Read::not_image:
            return keep(NOT_AN_IMAGE);
        default:
            return keep(NOT_FOUND);
    }
    if (note.is_debug) log(g, "debug", "Embedded Base64 image: " + str(abs_img_path));
    return whole.attr("replace")(src, data_uri(ext, data));
}

}  // namespace

py::object encode_image_base64(py::object self, py::object img_path) {
    (void)self;
    std::string real = real_path(img_path);
    if (real.empty()) return py::none();
    std::string data;
    switch (read_image(real, img_path, data)) {
        case Read::ok:
            return data_uri(lower_extension(img_path), data);
        case Read::not_image:
            log(g, "warning", NOT_AN_IMAGE + str(img_path));
            break;
        default:
            break;
    }
    return py::none();
}

py::object embed_images(ImageRoot& root, py::object html_body, py::object md_file, bool is_debug) {
    Note note{root, g["os"].attr("path").attr("dirname")(md_file), is_debug};
    py::cpp_function replacer([&note](py::handle match) { return replace_img(note, match); });
    return g["re"].attr("sub")(IMAGE_TAG, replacer, html_body);
}

}  // namespace dorvex
