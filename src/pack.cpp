#include "pack.hpp"
