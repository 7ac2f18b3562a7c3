#include "qvType.h"
