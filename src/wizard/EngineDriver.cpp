// The link between the migration window and the migration engine: the engine
// gets the window as its view and the real store, converters and message import.
#include "wizard/frmMigateAll.h"

#ifdef HAVE_ORVANDEL_ENGINE
#include "engine/MigrationEngine.h"
#include "items/ItemConverters.h"
#include "mime/MimeImport.h"
#include "store/PstStoreSession.h"
#endif

namespace wizard {

#ifdef HAVE_ORVANDEL_ENGINE
namespace {

engine::EngineServices RealServices(std::unique_ptr<items::ItemConverters>& converters, engine::MigrationView& view) {
    engine::EngineServices services;
    // Each PST of the run stamps its items with the locale the window was started with.
    services.createSession = [&view] {
        store::SessionOptions options;
        if (const int locale = view.ReadSettings().LocaleId) options.localeId = locale;
        return store::CreatePstSession(options);
    };
#ifdef HAVE_ORVANDEL_ITEMS
    converters = items::CreateZimbraItemConverters();
    services.converters = converters.get();
#else
    (void)converters;
#endif
#ifdef HAVE_ORVANDEL_MIME
    services.importMessage = [](store::Item& item, const std::string& path) { return mime::ImportMessage(item, path); };
    services.parseAhead = [](const std::string& path, std::function<void()> before) {
        mime::ParseAhead(path, std::move(before));
    };
#endif
    return services;
}

class EngineDriver : public MigrationDriver {
public:
    explicit EngineDriver(engine::MigrationView& view) : engine_(view, RealServices(converters_, view)) {}

    void Form_Load() override { engine_.Form_Load(); }
    void CmdStartConversion_Click() override { (void)engine_.CmdStartConversion_Click(); }
    void CmdSkip_Click() override { engine_.CmdSkip_Click(); }
    void CmdStopMigration_Click() override { engine_.CmdStopMigration_Click(); }
    void WindowClosed() override { engine_.Form_QueryUnload(); }

private:
    std::unique_ptr<items::ItemConverters> converters_;  // before engine_: it holds a pointer
    engine::MigrationEngine engine_;
};

}  // namespace

DriverFactory EngineDriverFactory() {
    return [](engine::MigrationView& view) -> std::unique_ptr<MigrationDriver> {
        return std::make_unique<EngineDriver>(view);
    };
}
#else
DriverFactory EngineDriverFactory() { return nullptr; }
#endif

}  // namespace wizard
