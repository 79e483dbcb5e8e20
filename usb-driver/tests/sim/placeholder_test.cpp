#include "support/sim_test.h"
