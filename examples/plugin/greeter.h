// The component interface that the sample package implements and its host
// uses. A component is created by the package library and handed to the
// host as a du::SmartPtr<du::RefCounted>; the host casts it to the
// interface it asked for.
#ifndef QMKUTILS_EXAMPLES_PLUGIN_GREETER_H_
#define QMKUTILS_EXAMPLES_PLUGIN_GREETER_H_

#include <string>

#include "qmkutils/memory/refcounted.h"

namespace greeter {

class Greeter : public virtual du::RefCounted {
 public:
  virtual std::string Greet(const std::string& name) const = 0;
};

}  // namespace greeter

#endif  // QMKUTILS_EXAMPLES_PLUGIN_GREETER_H_
