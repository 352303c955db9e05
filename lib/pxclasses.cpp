#include "lib/pxclasses.h"
