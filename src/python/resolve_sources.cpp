// Paths and patterns become files through resolve_path_spec and the
// seen-file set: a file reached twice within one set is kept once, at its
// first mention, under its canonical absolute path. File paths stay raw bytes
// for opening and duplicate detection; their lossy UTF-8 text serves labels
// and messages only.
#include "python/resolve_sources.h"

#include "python/lazy_imports.h"
#include "source/glob.h"
#include "util/text.h"

namespace jorvane::py {
namespace {

// The options of the files after the first of one path item: the
// compression only.
SourceOptions compression_only(const SourceOptions& o) {
    SourceOptions out;
    out.compression = o.compression;
    return out;
}

ResolvedItem bytes_item(std::vector<uint8_t> bytes) {
    ResolvedItem r;
    r.kind = ResolvedItem::Kind::Bytes;
    r.bytes = std::move(bytes);
    return r;
}

// The files one path or glob text names, as file items appended to `out`.
// False with ValueError set when the text is refused.
bool path_items(const std::string& spec, SeenPaths& seen, std::vector<ResolvedItem>& out) {
    std::vector<std::string> files;
    auto resolved = resolve_path_spec(spec, seen, files);
    if (!resolved) {
        raise(PyExc_ValueError, resolved.error());
        return false;
    }
    for (std::string& path : files) {
        ResolvedItem r;
        r.kind = ResolvedItem::Kind::File;
        r.path_text = lossy_utf8(path);
        r.path = std::move(path);
        out.push_back(std::move(r));
    }
    return true;
}

ResolvedItem reader_item(Ref reader, bool keep_open) {
    ResolvedItem r;
    r.kind = ResolvedItem::Kind::Reader;
    r.reader = std::move(reader);
    r.keep_open = keep_open;
    return r;
}

}  // namespace

Ref open_url(const std::string& url) {
    Ref fsspec = import_optional("fsspec");
    if (!fsspec) {
        if (PyErr_Occurred()) return {};  // installed, but its import failed
        raise(PyExc_ImportError,
              debug_quote(url) +
                  " looks like a URL, but fsspec is not installed. Either `pip install fsspec` (plus the backend "
                  "for this scheme, e.g. s3fs for s3://), or open the source yourself and pass the file object.");
        return {};
    }
    Ref open = Ref::steal(PyObject_GetAttrString(fsspec.get(), "open"));
    if (!open) return {};
    Ref args = Ref::steal(Py_BuildValue("(s#s)", url.data(), static_cast<Py_ssize_t>(url.size()), "rb"));
    Ref kwargs = Ref::steal(Py_BuildValue("{ss}", "compression", "infer"));
    if (!args || !kwargs) return {};
    Ref opener = Ref::steal(PyObject_Call(open.get(), args.get(), kwargs.get()));
    if (!opener) return {};
    return Ref::steal(PyObject_CallMethod(opener.get(), "open", nullptr));
}

bool resolve_source_items(std::vector<ClassifiedItem>&& items, std::vector<ResolvedSource>& out) {
    SeenPaths seen;
    for (ClassifiedItem& c : items) {
        switch (c.item.kind) {
            case InputItem::Kind::Reader:
                out.push_back({std::move(c.options), reader_item(std::move(c.item.reader), true)});
                break;
            case InputItem::Kind::Url: {
                Ref file = open_url(c.item.text);
                if (!file) return false;
                out.push_back({std::move(c.options), reader_item(std::move(file), false)});
                break;
            }
            case InputItem::Kind::Bytes:
                out.push_back({std::move(c.options), bytes_item(std::move(c.item.bytes))});
                break;
            case InputItem::Kind::Path: {
                std::vector<ResolvedItem> files;
                if (!path_items(c.item.text, seen, files)) return false;
                for (size_t i = 0; i < files.size(); ++i) {
                    SourceOptions o = i == 0 ? c.options : compression_only(c.options);
                    out.push_back({std::move(o), std::move(files[i])});
                }
                break;
            }
        }
    }
    return true;
}

bool resolve_labeled_sources(std::vector<ClassifiedItem>&& items, LabeledSources& out) {
    bool any_named = false;
    for (const ClassifiedItem& c : items) any_named = any_named || c.options.name.has_value();
    SeenPaths seen;
    auto push = [&](ResolvedItem item, std::string label, SourceOptions options) {
        out.items.push_back(std::move(item));
        out.labels.push_back(std::move(label));
        out.options.push_back(std::move(options));
    };
    for (size_t i = 0; i < items.size(); ++i) {
        ClassifiedItem& c = items[i];
        switch (c.item.kind) {
            case InputItem::Kind::Reader: {
                std::string label = c.options.name ? *c.options.name : "<reader:" + std::to_string(i) + ">";
                push(reader_item(std::move(c.item.reader), true), std::move(label), std::move(c.options));
                break;
            }
            case InputItem::Kind::Url: {
                Ref file = open_url(c.item.text);
                if (!file) return false;
                std::string label = c.options.name ? *c.options.name : c.item.text;
                push(reader_item(std::move(file), false), std::move(label), std::move(c.options));
                break;
            }
            case InputItem::Kind::Bytes: {
                std::string label = c.options.name ? *c.options.name : "<bytes:" + std::to_string(i) + ">";
                push(bytes_item(std::move(c.item.bytes)), std::move(label), std::move(c.options));
                break;
            }
            case InputItem::Kind::Path: {
                // With names about, a file may be a source once per path item.
                if (any_named) seen.clear();
                std::vector<ResolvedItem> files;
                if (!path_items(c.item.text, seen, files)) return false;
                const std::string& spec = c.item.text;
                const size_t n = files.size();
                if (c.options.name && n != 1) {
                    raise(PyExc_ValueError, "named source " + debug_quote(*c.options.name) + " (" + debug_quote(spec) +
                                                ") must resolve to exactly one file, got " + std::to_string(n));
                    return false;
                }
                if (c.options.progress && n != 1) {
                    raise(PyExc_ValueError, "Source(progress=...) must resolve to exactly one file; " +
                                                debug_quote(spec) + " resolved to " + std::to_string(n));
                    return false;
                }
                const bool as_written = n == 1 && !glob::is_pattern(spec);
                for (size_t k = 0; k < n; ++k) {
                    std::string label = c.options.name ? *c.options.name
                                        : as_written   ? spec
                                                       : files[k].path_text;
                    SourceOptions o = k == 0 ? c.options : compression_only(c.options);
                    push(std::move(files[k]), std::move(label), std::move(o));
                }
                break;
            }
        }
    }
    return true;
}

}  // namespace jorvane::py
