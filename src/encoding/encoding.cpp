#include "encoding/encoding.h"
