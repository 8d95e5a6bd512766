// The apartment of the client test programs.

#include "component/ComTestSupport.h"

namespace {

const auto* const environment = ::testing::AddGlobalTestEnvironment(new comtest::ComEnvironment);

}  // namespace
