// Core utilities shared by the rest of the library.
#ifndef QMKUTILS_UTILITIES_UTILITIES_H_
#define QMKUTILS_UTILITIES_UTILITIES_H_

#include "qmkutils/utilities/encodingconverter.h"
#include "qmkutils/utilities/hashnextprime.h"
#include "qmkutils/utilities/idgenerator.h"
#include "qmkutils/utilities/intervalalarm.h"
#include "qmkutils/utilities/localizer.h"
#include "qmkutils/utilities/pseudolocalize.h"
#include "qmkutils/utilities/qmtrb.h"
#include "qmkutils/utilities/symbol.h"
#include "qmkutils/utilities/taskpool.h"
#include "qmkutils/utilities/tokenizers.h"
#include "qmkutils/utilities/userdata.h"
#include "qmkutils/utilities/widetext.h"

#endif  // QMKUTILS_UTILITIES_UTILITIES_H_
