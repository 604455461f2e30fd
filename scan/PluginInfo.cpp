#include "scan/PluginInfo.h"

CPluginInfo::CPluginInfo()
    : id(0),
      numInputs(0),
      numOutputs(0),
      wantsMidi(false),
      sendsMidi(false),
      audio64(false),
      synthEdit(false),
      category(-1) {}
