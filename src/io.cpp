#include "io.hpp"
