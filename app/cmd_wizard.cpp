// The conversion wizard: `orvandel` without arguments opens the start window;
// `orvandel --screenshot DIR` saves pictures of every window.
#ifdef HAVE_ORVANDEL_WIZARD
#include "Commands.h"
#include "wizard/WizardApp.h"

namespace {

struct WizardInstaller {
    WizardInstaller() { app::WizardEntry() = &wizard::RunWizard; }
} const installer;

}  // namespace
#endif
