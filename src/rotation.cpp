#include "rotation.hpp"
