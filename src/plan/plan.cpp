#include "plan/plan.h"
