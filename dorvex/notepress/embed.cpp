// Local images as Base64 data URIs, and the watermark style block.
#include <cstdio>

#include "common/readfile.hpp"
#include "notepress.hpp"
#include "templates.hpp"

namespace dorvex::notepress {

namespace {

// Only these are embedded: an image tag may name any local file, and a page
// is made to be shared, so a crafted tag must not copy a key file into it.
constexpr const char* IMAGE_EXTENSIONS[] = {".png", ".jpg", ".jpeg", ".gif", ".svg", ".webp",
                                            ".bmp", ".ico", ".avif", ".tif", ".tiff"};

constexpr const char* IMAGE_TAG = R"re(<img[^>]+src="([^">]+)")re";

std::string lower_extension(const Globals& g, py::handle path) {
    py::object ext = g["os"].attr("path").attr("splitext")(path)[py::int_(1)];
    return str(ext.attr("lower")());
}

bool is_image_file(const Globals& g, py::handle path) {
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

bool starts_with(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// The watermark text sits in an SVG text element inside a double-quoted CSS
// url(). Markup characters would make the SVG invalid (no watermark at all),
// a quote would end the CSS string, and "#", "%" or "\" would be read by the
// URI or CSS parser. Everything else, non-ASCII included, stays as it is.
std::string svg_text(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
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
    if (!truthy(g["os"].attr("path").attr("exists")(img_path))) return py::none();
    const char* mime = media_type(lower_extension(g, img_path));
    py::object uri;
    auto failure = catch_ordinary([&] {
        py::object text = g["base64"].attr("b64encode")(read_file(img_path, "rb")).attr("decode")("utf-8");
        uri = py::str("data:") + py::str(mime) + py::str(";base64,") + text;
    });
    if (failure) {
        log(g, "warning", "Failed to encode image " + str(img_path) + ": " + str(*failure));
        return py::none();
    }
    return uri;
}

py::object embed_images(py::object self, py::object html_body, py::object md_file, bool is_debug) {
    const auto& g = g_notepress;
    py::cpp_function replace_img([self, md_file, is_debug](py::object match) -> py::object {
        const auto& g = g_notepress;
        py::object whole = match.attr("group")(0);
        py::object src = match.attr("group")(1);
        std::string src_text = str(src);
        if (starts_with(src_text, "http://") || starts_with(src_text, "https://") ||
            starts_with(src_text, "data:"))
            return whole;
        py::object os_path = g["os"].attr("path");
        py::object decoded_src = g["urllib"].attr("parse").attr("unquote")(src);
        py::object abs_img_path = os_path.attr("join")(os_path.attr("dirname")(md_file), decoded_src);
        if (!is_image_file(g, abs_img_path)) {
            log(g, "warning", "Not an image file, left as a reference: " + str(abs_img_path));
            return whole;
        }
        py::object uri = self.attr("_encode_image_base64")(abs_img_path);
        if (truthy(uri)) {
            if (is_debug) log(g, "debug", "Embedded Base64 image: " + str(abs_img_path));
            return whole.attr("replace")(src, uri);
        }
        log(g, "warning", "Image not found during conversion: " + str(abs_img_path));
        return whole;
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
    for (const char* line : {"background-repeat: repeat;", "pointer-events: none;", "z-index: 1000;"})
        css += i32 + line + "\n";
    css += i28 + "}";
    return py::str(css);
}

}  // namespace dorvex::notepress
