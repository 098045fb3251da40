#include "link/shared_values.h"

namespace tavrel {

namespace {
SharedValues g_values;
}

SharedValues &shared() { return g_values; }

void resetSharedValues()
{
    g_values = SharedValues{};
}

} // namespace tavrel
