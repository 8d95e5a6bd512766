// In-process tests run the component's code inside the test program: the
// module state is set up as DllMain would, inside one apartment.

#include "component/ComTestSupport.h"
#include "component/Module.h"

namespace {

class ModuleEnvironment : public comtest::ComEnvironment {
 public:
  void SetUp() override {
    comtest::ComEnvironment::SetUp();
    module::Initialize(GetModuleHandleW(nullptr));
  }
  void TearDown() override {
    module::Terminate();
    comtest::ComEnvironment::TearDown();
  }
};

const auto* const environment = ::testing::AddGlobalTestEnvironment(new ModuleEnvironment);

}  // namespace
