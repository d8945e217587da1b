// Start-up of `tarvik.tools.tool_creator`: binds the host contracts, creates
// the logger and builds the two tool classes. It touches no file.
#include "members.hpp"
#include "native_function.hpp"
#include "texts.hpp"

#include <string>

namespace tarvik {
namespace {

constexpr const char *kModuleDoc =
    "Tool Creator \u2014 allows the agent to dynamically create new tools at runtime.\n"
    "\n"
    "The LLM can write new Python tools, validate them, register them, and use\n"
    "them immediately. This enables:\n"
    "- Self-extending capabilities\n"
    "- Task-specific tool creation\n"
    "- Custom automation scripts\n"
    "- One-off utilities\n"
    "\n"
    "Created tools are saved to ~/.tarvik/custom_tools/ and can be persisted\n"
    "across sessions.\n";

constexpr const char *kModuleName = "tarvik.tools.tool_creator";

// `from module import name`, with the ImportError that statement raises.
nb::object import_name(const char *module, const char *name) {
    nb::object imported = nb::module_::import_(module);
    PyObject *value = PyObject_GetAttrString(imported.ptr(), name);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        raise(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
    }
    return nb::steal(value);
}

// Builds a class the way a class statement would: through the metaclass of
// `Tool`, with `Tool` as the only base.
nb::object build_class(const nb::dict &globals, const char *name, const char *doc,
                       const std::vector<Member> &members) {
    nb::object base = globals["Tool"];
    nb::handle metaclass = reinterpret_cast<PyObject *>(Py_TYPE(base.ptr()));
    nb::dict namespace_;
    namespace_["__module__"] = kModuleName;
    namespace_["__qualname__"] = name;
    namespace_["__doc__"] = doc;
    nb::object builtin_property = nb::module_::import_("builtins").attr("property");
    for (const Member &member : members) {
        const std::string qualname = std::string(name) + "." + member.function.name;
        nb::object function = make_function(member.function, qualname.c_str(), globals);
        namespace_[member.function.name] =
            member.is_property ? builtin_property(function) : function;
    }
    return metaclass(name, nb::make_tuple(base), namespace_);
}

}  // namespace
}  // namespace tarvik

// The macro defines the entry points CPython looks up by name.
// NOLINTNEXTLINE(misc-use-anonymous-namespace,performance-unnecessary-value-param)
NB_MODULE(tool_creator, module) {
    using namespace tarvik;
    nb::dict globals = nb::borrow<nb::dict>(PyModule_GetDict(module.ptr()));
    module.attr("__doc__") = kModuleDoc;
    init_function_types();

    globals["json"] = nb::module_::import_("json");
    remember_json_module(globals["json"]);
    globals["logging"] = nb::module_::import_("logging");
    globals["Path"] = import_name("pathlib", "Path");
    globals["Any"] = import_name("typing", "Any");
    globals["SubprocessManager"] =
        import_name("tarvik.core.subprocess_manager", "SubprocessManager");
    globals["SubprocessTask"] = import_name("tarvik.core.subprocess_manager", "SubprocessTask");
    globals["Tool"] = import_name("tarvik.tools.base", "Tool");
    globals["logger"] = globals["logging"].attr("getLogger")("tarvik.tool_creator");

    globals["_get_custom_tools_dir"] =
        make_function(custom_tools_dir_function(), "_get_custom_tools_dir", globals);
    globals["ToolCreatorTool"] = build_class(
        globals, "ToolCreatorTool", "Create, validate, and manage custom tools at runtime.",
        tool_creator_members());
    globals["DynamicTool"] =
        build_class(globals, "DynamicTool", "A dynamically-created tool that runs via subprocess.",
                    dynamic_tool_members());
}
