// The kit's plain plug-in. Several DLLs are this plug-in with other exports
// or resources; a few set its category (PLAIN_CATEGORY) or its number of
// inputs (PLAIN_INPUTS).

#include "tests/plugins/kit/TestPlugin.h"

#ifndef PLAIN_CATEGORY
#define PLAIN_CATEGORY kPlugCategEffect
#endif
#ifndef PLAIN_INPUTS
#define PLAIN_INPUTS 2
#endif

kit::TestPlugin& kit::ThePlugin() {
    static TestPlugin plugin({.numInputs = PLAIN_INPUTS, .category = PLAIN_CATEGORY});
    return plugin;
}
