#include "app/Stopwatch.h"
