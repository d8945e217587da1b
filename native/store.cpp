// Paths and files of the custom tool store.
#include "store.hpp"

#include <string_view>

namespace tarvik {
namespace {

bool has_drive_prefix(std::string_view name) {
    return name.size() >= 2 && name[1] == ':' &&
           ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'));
}

bool is_plain_folder_name(nb::handle name) {
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(name.ptr(), &size);
    if (!utf8) {
        // Lone surrogates: not a name the file system can hold anyway.
        PyErr_Clear();
        return false;
    }
    const std::string_view text(utf8, static_cast<size_t>(size));
    if (text == "." || text == "..") return false;
    if (text.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos) return false;
    return !has_drive_prefix(text);
}

}  // namespace

nb::object custom_tools_dir(const Call &call) {
    nb::object root = join(join(call.global("Path").attr("home")(), ".tarvik"), "custom_tools");
    root.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
    return root;
}

nb::object pretty_json(const Call &call, nb::handle value) {
    return call.global("json").attr("dumps")(value, "indent"_a = 2);
}

std::optional<nb::str> unsafe_name_error(nb::handle name) {
    nb::object name_text = nb::borrow(name);
    if (!PyUnicode_Check(name.ptr())) {
        // A path object joins like its text, so its text must pass the same test.
        if (!PyObject_HasAttrString(reinterpret_cast<PyObject *>(Py_TYPE(name.ptr())),
                                    "__fspath__")) {
            return std::nullopt;
        }
        name_text = nb::steal(PyOS_FSPath(name.ptr()));
        if (!name_text) throw nb::python_error();
        // Bytes: the join refuses them.
        if (!PyUnicode_Check(name_text.ptr())) return std::nullopt;
    }
    if (is_plain_folder_name(name_text)) return std::nullopt;
    nb::object text = nb::steal(PyUnicode_FromFormat(
        "[ERROR] Invalid tool_name: %R. A tool name is one plain folder name such as my_tool: "
        "not '.' or '..', and without '/', '\\', NUL characters or a drive prefix.",
        name.ptr()));
    if (!text) throw nb::python_error();
    return nb::borrow<nb::str>(text);
}

nb::object store_root(const Call &call) { return call.self().attr("_custom_tools_dir"); }

nb::object join(nb::handle folder, nb::handle name) {
    nb::object joined = nb::steal(PyNumber_TrueDivide(folder.ptr(), name.ptr()));
    if (!joined) throw nb::python_error();
    return joined;
}

nb::object join(nb::handle folder, const char *name) { return join(folder, nb::str(name)); }

bool resolves_into(nb::handle path, nb::handle folder) {
    nb::object real_parent = path.attr("resolve")().attr("parent");
    return real_parent.equal(folder.attr("resolve")());
}

bool leads_out_of(nb::handle path, nb::handle folder) {
    // A dangling link counts: writing through it would create its target.
    const bool present = truthy(path.attr("is_symlink")()) || exists(path);
    return present && !resolves_into(path, folder);
}

bool exists(nb::handle path) { return truthy(path.attr("exists")()); }

nb::object read_text(nb::handle path) { return path.attr("read_text")("encoding"_a = "utf-8"); }

void write_text(nb::handle path, nb::handle text) {
    path.attr("write_text")(text, "encoding"_a = "utf-8");
}

}  // namespace tarvik
