#include "FtdiApi.h"

FtdiApi::~FtdiApi() = default;
