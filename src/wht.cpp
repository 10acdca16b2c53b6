#include "wht.hpp"
