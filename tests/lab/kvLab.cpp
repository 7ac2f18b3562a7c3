#include "kvLab.h"
