#include "search.hpp"
