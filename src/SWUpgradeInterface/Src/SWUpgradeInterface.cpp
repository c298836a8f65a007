#include "SWUpgradeInterface.h"
