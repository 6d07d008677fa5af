#include "UpdateSession.h"
