#include "qmkutils/memory/refcounted.h"

namespace du {

RefCounted::~RefCounted() = default;

}  // namespace du
