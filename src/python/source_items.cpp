// Classification looks at an object's type in a fixed order: a `Source`
// wrapper (unwrapped once), text (JSON text when its first non-white-space
// character opens a container, a URL when a scheme precedes "://", else a
// path), bytes, a byte array, a path object (os.PathLike), then anything
// with a "read" attribute.
#include "python/source_items.h"

#include "python/source_spec.h"
#include "util/text.h"

namespace jorvane::py {
namespace {

constexpr const char* kFormMessage =
    "each source must be a path/glob string, JSON text (str/bytes), or a file-like object with read()";

bool is_white_space(uint32_t c) {
    return (c >= 0x09 && c <= 0x0d) || c == 0x20 || c == 0x85 || c == 0xa0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 || c == 0x202f || c == 0x205f ||
           c == 0x3000;
}

// The first code point of valid UTF-8 `s` at `i`, advancing `i`.
uint32_t next_code_point(std::string_view s, size_t& i) {
    const unsigned char b = static_cast<unsigned char>(s[i]);
    size_t len = b < 0x80 ? 1 : b < 0xe0 ? 2 : b < 0xf0 ? 3 : 4;
    uint32_t cp = len == 1 ? b : len == 2 ? (b & 0x1f) : len == 3 ? (b & 0x0f) : (b & 0x07);
    for (size_t k = 1; k < len && i + k < s.size(); ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3f);
    i += len;
    return cp;
}

bool starts_json_text(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        uint32_t c = next_code_point(s, i);
        if (is_white_space(c)) continue;
        return c == '[' || c == '{';
    }
    return false;
}

bool is_ascii_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool is_url(std::string_view s) {
    size_t sep = s.find("://");
    if (sep == std::string_view::npos || sep == 0 || !is_ascii_alpha(s[0])) return false;
    for (size_t i = 1; i < sep; ++i) {
        char c = s[i];
        if (!is_ascii_alpha(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') return false;
    }
    return true;
}

std::vector<uint8_t> bytes_of(PyObject* o) {
    char* data = nullptr;
    Py_ssize_t n = 0;
    if (PyBytes_Check(o)) {
        if (PyBytes_AsStringAndSize(o, &data, &n) < 0) return {};
    } else {
        data = PyByteArray_AsString(o);
        n = PyByteArray_Size(o);
    }
    if (!data || n <= 0) return {};
    return std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(data), reinterpret_cast<const uint8_t*>(data) + n);
}

}  // namespace

std::optional<ClassifiedItem> classify_source_with_options(PyObject* obj) {
    ClassifiedItem out;
    if (const PySourceSpec* spec = as_source_spec(obj)) {
        out.options.progress = spec->progress;
        out.options.progress_interval = spec->progress_interval;
        out.options.name = spec->name;
        out.options.compression = spec->compression;
        obj = spec->obj.get();
    }
    InputItem& item = out.item;
    // A str holding a lone surrogate is not text; it is refused below.
    if (std::string text; as_text(obj, text)) {
        if (starts_json_text(text)) {
            item.kind = InputItem::Kind::Bytes;
            item.bytes.assign(text.begin(), text.end());
        } else {
            item.kind = is_url(text) ? InputItem::Kind::Url : InputItem::Kind::Path;
            item.text = std::move(text);
        }
        return out;
    }
    if (PyBytes_Check(obj) || PyByteArray_Check(obj)) {
        item.kind = InputItem::Kind::Bytes;
        item.bytes = bytes_of(obj);
        if (PyErr_Occurred()) return std::nullopt;
        return out;
    }
    // A path object names a file (or a pattern) whatever its text looks
    // like; a bytes path is refused, as bytes are JSON text here.
    if (Ref path = fspath_of(obj)) {
        if (!as_text(path.get(), item.text)) {
            raise(PyExc_ValueError, kFormMessage);
            return std::nullopt;
        }
        item.kind = InputItem::Kind::Path;
        return out;
    }
    if (PyErr_Occurred()) return std::nullopt;
    Ref read = Ref::steal(PyObject_GetAttrString(obj, "read"));
    if (!read) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            raise(PyExc_ValueError, kFormMessage);
        }
        return std::nullopt;
    }
    item.kind = InputItem::Kind::Reader;
    item.reader = Ref::borrow(obj);
    return out;
}

bool parse_source_items(PyObject* source, std::vector<ClassifiedItem>& out) {
    if (PyList_Check(source)) {
        const Py_ssize_t start_len = PyList_Size(source);
        for (Py_ssize_t i = 0; i < start_len && i < PyList_Size(source); ++i) {
            // Own the element: the "read" look-up may run code that edits the list.
            Ref element = Ref::borrow(PyList_GetItem(source, i));
            if (!element) return false;
            auto item = classify_source_with_options(element.get());
            if (!item) return false;
            out.push_back(std::move(*item));
        }
        return true;
    }
    auto item = classify_source_with_options(source);
    if (!item) return false;
    out.push_back(std::move(*item));
    return true;
}

bool parse_source_dict(PyObject* dict, std::vector<ClassifiedItem>& out) {
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t pos = 0;
    // Snapshot the pairs first: classification may run code that edits the dict.
    std::vector<std::pair<Ref, Ref>> pairs;
    while (PyDict_Next(dict, &pos, &key, &value)) pairs.emplace_back(Ref::borrow(key), Ref::borrow(value));
    for (auto& [k, v] : pairs) {
        std::string name;
        if (!as_text(k.get(), name)) {
            raise(PyExc_ValueError, "source names must be strings");
            return false;
        }
        auto item = classify_source_with_options(v.get());
        if (!item) return false;
        if (item->options.name && *item->options.name != name) {
            raise(PyExc_ValueError, "source is named twice: " + debug_quote(name) + " as its dict key and " +
                                        debug_quote(*item->options.name) + " via Source(name=...); use one");
            return false;
        }
        item->options.name = std::move(name);
        out.push_back(std::move(*item));
    }
    return true;
}

bool reject_query_only_options(const std::optional<std::string>& name, PyObject* progress,
                               std::string_view consumer) {
    if (progress) {
        raise(PyExc_ValueError, "Source(progress=...) is only supported by Query; " + std::string(consumer) +
                                    " has no progress callbacks");
        return false;
    }
    if (name) {
        raise(PyExc_ValueError,
              "Source(name=...) labels Query results; " + std::string(consumer) + " does not use source names");
        return false;
    }
    return true;
}

}  // namespace jorvane::py
