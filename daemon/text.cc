#include "text.h"

// Placeholder until the text functions land.
