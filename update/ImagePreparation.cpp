#include "ImagePreparation.h"
