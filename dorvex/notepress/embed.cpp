// Local images as Base64 data URIs, and the watermark style block.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string_view>

#include "common/files.hpp"
#include "notepress.hpp"
#include "templates.hpp"

namespace dorvex {

namespace {

// Only files with these names are embedded, and only when their content is
// an image too: an image tag may name any local file, and a page is made to
// be shared, so a crafted tag must not copy a key file into it.
constexpr const char* IMAGE_EXTENSIONS[] = {".png", ".jpg", ".jpeg", ".gif", ".svg", ".webp",
                                            ".bmp", ".ico", ".avif", ".tif", ".tiff"};

constexpr const char* IMAGE_TAG = R"re(<img[^>]+src="([^">]+)")re";

constexpr const char* NOT_AN_IMAGE = "Not an image file, left as a reference: ";

std::string lower_extension(const Globals& g, py::handle path) {
    py::object ext = g["os"].attr("path").attr("splitext")(path)[py::int_(1)];
    return str(ext.attr("lower")());
}

bool has_image_name(const Globals& g, py::handle path) {
    std::string ext = lower_extension(g, path);
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
// (a still image) or avis (a sequence).
bool is_avif(std::string_view b) {
    if (b.size() < 16 || b.substr(4, 4) != "ftyp") return false;
    auto be32 = [&](size_t i) {
        return (size_t(uint8_t(b[i])) << 24) | (size_t(uint8_t(b[i + 1])) << 16) |
               (size_t(uint8_t(b[i + 2])) << 8) | size_t(uint8_t(b[i + 3]));
    };
    size_t end = std::min(b.size(), be32(0));
    for (size_t i = 8; i + 4 <= end; i += (i == 8 ? 8 : 4))  // skip the minor version
        if (b.substr(i, 4) == "avif" || b.substr(i, 4) == "avis") return true;
    return false;
}

// An SVG is XML whose root element is svg (in the SVG namespace or none).
// expat refuses entity blow-ups and loads no external entity.
bool is_svg(py::handle data) {
    bool svg = false;
    catch_ordinary([&] {
        py::object root = py::module_::import("xml.etree.ElementTree").attr("fromstring")(data);
        std::string tag = str(root.attr("tag"));
        svg = tag == "svg" || tag == "{http://www.w3.org/2000/svg}svg";
    });
    return svg;
}

bool is_image_content(py::handle data) {
    char* buf = nullptr;
    Py_ssize_t len = 0;
    if (PyBytes_AsStringAndSize(data.ptr(), &buf, &len) < 0) throw py::error_already_set();
    std::string_view b(buf, static_cast<size_t>(len));
    using namespace std::string_view_literals;
    for (std::string_view sig : {"\x89PNG\r\n\x1a\n"sv, "\xff\xd8\xff"sv, "GIF87a"sv, "GIF89a"sv,
                                 "II*\0"sv, "MM\0*"sv, "\0\0\x01\0"sv})
        if (starts_with(b, sig)) return true;
    // "BM" alone starts many a text; a bitmap's reserved bytes follow its size
    if (starts_with(b, "BM") && b.size() >= 14 && b.substr(6, 4) == std::string_view("\0\0\0\0", 4))
        return true;
    if (starts_with(b, "RIFF") && b.size() >= 12 && b.substr(8, 4) == "WEBP") return true;
    return is_avif(b) || is_svg(data);
}

enum class Read { missing, failed, not_image, ok };

// The file's bytes when it is an image. A read error is logged here.
Read read_image(const Globals& g, py::handle img_path, py::object& data) {
    if (!truthy(g["os"].attr("path").attr("exists")(img_path))) return Read::missing;
    auto failure = catch_ordinary([&] { data = read_file(img_path, "rb"); });
    if (failure) {
        log(g, "warning", "Failed to encode image " + str(img_path) + ": " + str(*failure));
        return Read::failed;
    }
    return is_image_content(data) ? Read::ok : Read::not_image;
}

py::object data_uri(const Globals& g, py::handle img_path, py::handle data) {
    const char* mime = media_type(lower_extension(g, img_path));
    py::object text = g["base64"].attr("b64encode")(data).attr("decode")("utf-8");
    return py::str("data:") + py::str(mime) + py::str(";base64,") + text;
}

// Whether the file a path names (links followed) lies in `root`, a real path.
bool inside(const Globals& g, py::handle root, py::handle path) {
    py::object os_path = g["os"].attr("path");
    py::object real = os_path.attr("realpath")(path);
    return os_path.attr("commonpath")(py::make_tuple(root, real)).equal(root);
}

// The watermark text sits in an SVG text element inside a double-quoted CSS
// url(). Markup characters would make the SVG invalid (no watermark at all),
// a quote would end the CSS string, and "#", "%" or "\" would be read by the
// URI or CSS parser. Everything else, non-ASCII included, stays as it is.
std::string svg_text(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                if (c == '#' || c == '%' || c == '\\' || c < 0x20 || c == 0x7f) {
                    char buf[4];
                    std::snprintf(buf, sizeof buf, "%%%02X", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

}  // namespace

py::object encode_image_base64(py::object self, py::object img_path) {
    (void)self;
    const auto& g = g_notepress;
    py::object data;
    switch (read_image(g, img_path, data)) {
        case Read::ok:
            return data_uri(g, img_path, data);
        case Read::not_image:
            log(g, "warning", NOT_AN_IMAGE + str(img_path));
            break;
        default:
            break;
    }
    return py::none();
}

py::object embed_images(py::object self, py::object html_body, py::object md_file, bool is_debug) {
    const auto& g = g_notepress;
    auto root = std::make_shared<py::object>();  // the input folder's real path, when first needed
    py::cpp_function replace_img([self, md_file, is_debug, root](py::object match) -> py::object {
        py::object whole = match.attr("group")(0);
        py::object src = match.attr("group")(1);
        std::string src_text = str(src);
        if (starts_with(src_text, "http://") || starts_with(src_text, "https://") ||
            starts_with(src_text, "data:"))
            return whole;
        py::object os_path = g["os"].attr("path");
        py::object decoded_src = g["urllib"].attr("parse").attr("unquote")(src);
        py::object abs_img_path =
            os_path.attr("join")(os_path.attr("dirname")(md_file), decoded_src);
        auto keep = [&](const std::string& why) {
            log(g, "warning", why + str(abs_img_path));
            return whole;
        };
        if (!has_image_name(g, abs_img_path)) return keep(NOT_AN_IMAGE);
        if (!truthy(os_path.attr("exists")(abs_img_path)))
            return keep("Image not found during conversion: ");
        if (!*root) *root = os_path.attr("realpath")(self.attr("input_path"));
        if (!inside(g, *root, abs_img_path))
            return keep("Image outside the input folder, left as a reference: ");
        py::object data;
        switch (read_image(g, abs_img_path, data)) {
            case Read::ok:
                break;
            case Read::not_image:
                return keep(NOT_AN_IMAGE);
            default:
                return keep("Image not found during conversion: ");
        }
        if (is_debug) log(g, "debug", "Embedded Base64 image: " + str(abs_img_path));
        return whole.attr("replace")(src, data_uri(g, abs_img_path, data));
    });
    return g["re"].attr("sub")(IMAGE_TAG, replace_img, html_body);
}

py::str watermark_css(py::handle text) {
    const std::string i28(28, ' '), i32(32, ' ');
    std::string css = "\n" + i28 + "/* 💡 Watermark Layer */\n" + i28 + "body::after {\n";
    for (const char* line : {"content: \"\";", "position: fixed;", "top: 0;", "left: 0;",
                             "width: 100%;", "height: 100%;"})
        css += i32 + line + "\n";
    css += i32 + WATERMARK_BG_HEAD + SVG_NAMESPACE + WATERMARK_BG_MIDDLE + svg_text(str(text)) +
           WATERMARK_BG_TAIL + "\n";
    for (const char* line :
         {"background-repeat: repeat;", "pointer-events: none;", "z-index: 1000;"})
        css += i32 + line + "\n";
    css += i28 + "}";
    return py::str(css);
}

}  // namespace dorvex
