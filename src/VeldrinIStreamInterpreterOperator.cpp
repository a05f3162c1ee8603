#include "VeldrinIStreamInterpreterOperator.h"

VeldrinIStreamInterpreterOperator::~VeldrinIStreamInterpreterOperator() = default;
