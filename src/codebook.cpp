#include "codebook.hpp"
