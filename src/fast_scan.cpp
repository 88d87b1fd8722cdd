#include "fast_scan.h"
