// What a package library exports, for the authors of package libraries.
//
// A package library is a shared library that links libqmkutils dynamically
// (never statically: each copy would have its own singletons) and exports
// three C functions, looked up by these names when the installer loads it:
//
//   QMK_PACKAGE_EXPORT void QMDllInit();
//       called once, right after loading;
//   QMK_PACKAGE_EXPORT void QMDllCreateComponent(const char* module,
//       const char* dataType, const char* function,
//       du::SmartPtr<du::RefCounted>* out);
//       stores a new component in *out, or leaves it empty;
//   QMK_PACKAGE_EXPORT void QMDllTerminate();
//       called before the library is unloaded, in the reverse order of
//       loading among the packages of one bom.
//
// All three run on the thread that uses the bom.
#ifndef QMKUTILS_INSTALLER_PACKAGELIBRARY_H_
#define QMKUTILS_INSTALLER_PACKAGELIBRARY_H_

#include "qmkutils/memory/refcounted.h"
#include "qmkutils/memory/smartptr.h"

#define QMK_PACKAGE_EXPORT extern "C" __attribute__((visibility("default")))

namespace installer {

using PackageInitFunction = void (*)();
using PackageCreateComponentFunction = void (*)(const char* module, const char* dataType,
                                                const char* function,
                                                du::SmartPtr<du::RefCounted>* out);
using PackageTerminateFunction = void (*)();

inline constexpr char kPackageInitName[] = "QMDllInit";
inline constexpr char kPackageCreateComponentName[] = "QMDllCreateComponent";
inline constexpr char kPackageTerminateName[] = "QMDllTerminate";

}  // namespace installer

#endif  // QMKUTILS_INSTALLER_PACKAGELIBRARY_H_
