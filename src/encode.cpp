#include "encode.hpp"
