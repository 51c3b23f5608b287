// Everything of the installer: bills of material, packages and the
// function manager that creates components from package libraries.
#ifndef QMKUTILS_INSTALLER_INSTALLER_H_
#define QMKUTILS_INSTALLER_INSTALLER_H_

#include "qmkutils/installer/functionmanager.h"
#include "qmkutils/installer/installerbom.h"
#include "qmkutils/installer/installerfunction.h"
#include "qmkutils/installer/installeritem.h"
#include "qmkutils/installer/installerpackage.h"
#include "qmkutils/installer/packagelibrary.h"

#endif  // QMKUTILS_INSTALLER_INSTALLER_H_
