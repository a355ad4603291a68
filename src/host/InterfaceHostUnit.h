#pragma once

#include <cstdint>

// 1 door lock, 2 police registration, 3 member card; 0 until the host start-up sets it.
extern int32_t InterfaceKind;
