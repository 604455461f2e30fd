// Names itself in UTF-8, as most plug-ins of today do: "Rézonateur" by
// "Société Sonore", product "Ünïcode Suite".

#include "tests/plugins/kit/TestPlugin.h"

kit::TestPlugin& kit::ThePlugin() {
    static TestPlugin plugin({.name = "R\xC3\xA9zonateur",
                              .vendor = "Soci\xC3\xA9t\xC3\xA9 Sonore",
                              .product = "\xC3\x9Cn\xC3\xAF" "code Suite"});
    return plugin;
}
