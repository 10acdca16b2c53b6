#include "id_map.hpp"
