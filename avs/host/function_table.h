// The host's table of script functions: each function's argument string, parsed once at
// registration, and the binding of a caller's values to those parameters.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "avs/avisynth.h"

namespace avs_host {

// One parameter of an argument string: "t" (positional, required) or "[name]t" (named, optional),
// where t is one of s b i f c or "." (any type), optionally followed by "*" (zero or more values)
// or "+" (one or more), gathered into an array.
struct ParamSpec {
  std::string name;
  char type = '.';
  char repeat = 0;
  bool Optional() const { return !name.empty() || repeat == '*'; }
};

// Parses an argument string. Returns false with a message when it is malformed.
bool ParseParams(const char* params, std::vector<ParamSpec>* out, std::string* error);

// The type name used in messages for a type code ('i' -> "int").
const char* TypeName(char type);

struct Function {
  std::string name;
  std::string params;
  std::vector<ParamSpec> specs;
  IScriptEnvironment::ApplyFunc apply = nullptr;
  void* user_data = nullptr;
};

// The values handed to an apply function: one per parameter, void where the caller gave none.
// Owns the arrays that repeated parameters gather.
struct BoundArguments {
  std::vector<AVSValue> values;
  std::deque<std::vector<AVSValue>> arrays;
};

// Binds the caller's values (a single value or an array, with optional names for each element)
// to the function's parameters. Positional values fill the parameters in order; named values
// fill the named parameter of that name (case-insensitive). An int is accepted for a float and
// passed on as a float. Returns false with a message naming the function when they do not fit.
bool BindArguments(const Function& f, const AVSValue& args, const char* const* arg_names,
                   BoundArguments* out, std::string* error);

class FunctionTable {
 public:
  // Registers a function; a later registration of the same name (case-insensitive) replaces the
  // earlier one. Returns false with a message for a bad name, argument string or function.
  bool Add(const char* name, const char* params, IScriptEnvironment::ApplyFunc apply,
           void* user_data, std::string* error);
  const Function* Find(const char* name) const;
  std::vector<std::string> Names() const;

 private:
  std::deque<Function> functions_;
};

}  // namespace avs_host
