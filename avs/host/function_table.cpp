#include "avs/host/function_table.h"

#include <strings.h>

#include <cctype>
#include <cstring>

namespace avs_host {
namespace {

bool IsTypeCode(char c) {
  return std::strchr("sbifc.", c) != nullptr && c != 0;
}

// Does a value of the given type code fit a parameter of type t?
bool Fits(char t, const AVSValue& v) {
  if (!v.Defined() || v.IsArray()) return t == '.' && v.Defined();
  if (t == '.') return true;
  if (t == 'f') return v.IsFloat();
  return v.Type() == t;
}

AVSValue Converted(char t, const AVSValue& v) {
  if (t == 'f' && v.IsInt()) return AVSValue(v.AsFloat());
  return v;
}

std::string ParamLabel(const Function& f, size_t index) {
  std::string s = "argument " + std::to_string(index + 1);
  if (!f.specs[index].name.empty()) s += " (" + f.specs[index].name + ")";
  return s;
}

bool Fail(std::string* error, const Function& f, const std::string& what) {
  *error = f.name + ": " + what;
  return false;
}

}  // namespace

const char* TypeName(char type) {
  switch (type) {
    case 'c':
      return "clip";
    case 'b':
      return "bool";
    case 'i':
      return "int";
    case 'f':
      return "float";
    case 's':
      return "string";
    case 'a':
      return "array";
    case '.':
      return "value";
    default:
      return "nothing";
  }
}

bool ParseParams(const char* params, std::vector<ParamSpec>* out, std::string* error) {
  out->clear();
  if (params == nullptr) params = "";
  const char* p = params;
  while (*p) {
    ParamSpec parsed;
    if (*p == '[') {
      const char* close = std::strchr(p + 1, ']');
      if (close == nullptr || close == p + 1) {
        *error = std::string("bad argument string \"") + params + "\": unclosed or empty [name]";
        return false;
      }
      parsed.name.assign(p + 1, close);
      p = close + 1;
    }
    if (!IsTypeCode(*p)) {
      *error = std::string("bad argument string \"") + params + "\": expected a type (s b i f c .)";
      return false;
    }
    parsed.type = *p++;
    if (*p == '*' || *p == '+') parsed.repeat = *p++;
    out->push_back(parsed);
    if (out->size() > 1000) {
      *error = "argument string too long";
      return false;
    }
  }
  return true;
}

bool BindArguments(const Function& f, const AVSValue& args, const char* const* arg_names,
                   BoundArguments* out, std::string* error) {
  const size_t count =
      args.IsArray() ? static_cast<size_t>(args.ArraySize()) : (args.Defined() ? 1u : 0u);
  const size_t nparams = f.specs.size();
  out->values.assign(nparams, AVSValue());
  out->arrays.clear();
  std::vector<bool> given(nparams, false);

  auto named = [&](size_t i) { return arg_names != nullptr && arg_names[i] && *arg_names[i]; };

  // Positional values, in order.
  size_t param = 0;
  for (size_t i = 0; i < count; ++i) {
    if (named(i)) continue;
    const AVSValue& v = args[static_cast<int>(i)];
    if (param >= nparams) {
      return Fail(error, f, "too many arguments (takes at most " + std::to_string(nparams) + ")");
    }
    const ParamSpec& expected = f.specs[param];
    if (expected.repeat) {
      // Gather this and the following positional values while they fit.
      out->arrays.emplace_back();
      std::vector<AVSValue>& gathered = out->arrays.back();
      size_t j = i;
      for (; j < count; ++j) {
        if (named(j)) continue;
        const AVSValue& w = args[static_cast<int>(j)];
        if (!Fits(expected.type, w)) break;
        gathered.push_back(Converted(expected.type, w));
      }
      if (expected.repeat == '+' && gathered.empty()) {
        return Fail(error, f,
                    ParamLabel(f, param) + " must be " + TypeName(expected.type) + ", not " +
                        TypeName(v.Type()));
      }
      out->values[param] = AVSValue(gathered.data(), static_cast<int>(gathered.size()));
      given[param] = true;
      ++param;
      i = j - 1;
      continue;
    }
    if (!v.Defined()) {
      // An explicit void leaves an optional parameter out.
      if (!expected.Optional()) return Fail(error, f, ParamLabel(f, param) + " is missing");
      ++param;
      continue;
    }
    if (!Fits(expected.type, v)) {
      return Fail(error, f,
                  ParamLabel(f, param) + " must be " + TypeName(expected.type) + ", not " +
                      TypeName(v.Type()));
    }
    out->values[param] = Converted(expected.type, v);
    given[param] = true;
    ++param;
  }

  // Named values.
  for (size_t i = 0; i < count; ++i) {
    if (!named(i)) continue;
    size_t k = 0;
    while (k < nparams &&
           (f.specs[k].name.empty() || strcasecmp(f.specs[k].name.c_str(), arg_names[i]) != 0)) {
      ++k;
    }
    if (k == nparams) {
      return Fail(error, f, std::string("no argument named \"") + arg_names[i] + "\"");
    }
    if (given[k]) return Fail(error, f, ParamLabel(f, k) + " is given twice");
    const AVSValue& v = args[static_cast<int>(i)];
    if (!v.Defined()) continue;
    if (!Fits(f.specs[k].type, v)) {
      return Fail(error, f,
                  ParamLabel(f, k) + " must be " + TypeName(f.specs[k].type) + ", not " +
                      TypeName(v.Type()));
    }
    out->values[k] = Converted(f.specs[k].type, v);
    given[k] = true;
  }

  for (size_t k = 0; k < nparams; ++k) {
    if (!given[k] && !f.specs[k].Optional()) {
      return Fail(error, f, ParamLabel(f, k) + " (" + TypeName(f.specs[k].type) + ") is missing");
    }
    if (!given[k] && f.specs[k].repeat == '*') {
      out->arrays.emplace_back();
      out->values[k] = AVSValue(out->arrays.back().data(), 0);
    }
  }
  return true;
}

bool FunctionTable::Add(const char* name, const char* params, IScriptEnvironment::ApplyFunc apply,
                        void* user_data, std::string* error) {
  if (name == nullptr || *name == 0) {
    *error = "AddFunction: a function needs a name";
    return false;
  }
  if (apply == nullptr) {
    *error = std::string("AddFunction: ") + name + " has no creation function";
    return false;
  }
  Function f;
  f.name = name;
  f.params = params ? params : "";
  f.apply = apply;
  f.user_data = user_data;
  std::string why;
  if (!ParseParams(params, &f.specs, &why)) {
    *error = std::string("AddFunction: ") + name + ": " + why;
    return false;
  }
  for (Function& existing : functions_) {
    if (strcasecmp(existing.name.c_str(), name) == 0) {
      existing = std::move(f);
      return true;
    }
  }
  functions_.push_back(std::move(f));
  return true;
}

const Function* FunctionTable::Find(const char* name) const {
  if (name == nullptr) return nullptr;
  for (const Function& f : functions_) {
    if (strcasecmp(f.name.c_str(), name) == 0) return &f;
  }
  return nullptr;
}

std::vector<std::string> FunctionTable::Names() const {
  std::vector<std::string> names;
  for (const Function& f : functions_) names.push_back(f.name);
  return names;
}

}  // namespace avs_host
