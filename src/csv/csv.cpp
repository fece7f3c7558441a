#include "csv/csv.h"
