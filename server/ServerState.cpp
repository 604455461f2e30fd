#include "server/ServerState.h"

ServerState serverState;
