// The dictionary core of jadefox: records of a shared key index and a value
// vector, their construction, lookup, export, copy on write, and arithmetic.
// Plain C++; nothing here depends on Python.
#pragma once

#include "arithmetic.h"
#include "key_index.h"
#include "record.h"
#include "seeds.h"
#include "shared.h"
#include "siphash.h"
#include "value_vector.h"
