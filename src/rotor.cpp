#include "rotor.hpp"
