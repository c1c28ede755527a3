#include "wizard/frmMigateAll.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QStringList>
#include <cmath>

#include "wizard/Look.h"
#include "wizard/ShellServices.h"
#include "wizard/frmStart.h"
#ifdef HAVE_ORVANDEL_STORE
#include "store/LocaleIds.h"
#endif

namespace wizard {

namespace {

QString FromUtf8(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

}  // namespace

DriverFactory& MigrationDriverFactory() {
    static DriverFactory factory = EngineDriverFactory();
    return factory;
}

QString DialogFilter(const QString& pairs) {
    const QStringList parts = pairs.split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString description = parts[i];
        const QString patterns = QString(parts[i + 1]).replace(QLatin1Char(';'), QLatin1Char(' '));
        if (!description.contains(QLatin1Char('('))) description += QStringLiteral(" (") + patterns + QLatin1Char(')');
        filters << description;
    }
    if (filters.isEmpty() && !pairs.isEmpty()) filters << pairs;
    return filters.join(QStringLiteral(";;"));
}

frmMigateAll::frmMigateAll(QWidget* owner, SettingsSource settings, RowMarker marker)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                         Qt::WindowSystemMenuHint),
      settings_(std::move(settings)),
      marker_(std::move(marker)),
      owner_(owner) {
    setObjectName(QStringLiteral("frmMigateAll"));
    setWindowModality(Qt::ApplicationModal);
    setWindowIcon(AppIcon());
    setFixedSize(Tw(9630), Tw(4260));
    setFont(UiFont(9));

    const QColor white(255, 255, 255), grey(192, 192, 192);

    Shape2 = new Band(this, white, grey);
    Place(Shape2, -120, -120, 10695, 1455);
    lblCount1 = MakeLabel(this, QString(), UiFont(9.75, true), 120, 120, 9375, 375);
    lblCount1->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    SetColours(lblCount1, Qt::black, white);
    CmdSkip = new QPushButton(QStringLiteral("X"), this);
    CmdSkip->setFont(UiFont(9.75, true));
    CmdSkip->setToolTip(QStringLiteral("Cancel Migration of Current Mailbox"));
    CmdSkip->setAutoDefault(false);
    Place(CmdSkip, 9120, 240, 375, 315);
    lblProgress = MakeLabel(this, QString(), UiFont(11.25), 120, 600, 6015, 255);
    lblProgress->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setTextVisible(false);
    Place(ProgressBar1, 120, 960, 9375, 255);

    FrameConversion = new QGroupBox(this);
    FrameConversion->setFont(UiFont(9));
    ClassicFrame(FrameConversion);
    Place(FrameConversion, 120, 1440, 9375, 1095);
    LblCurrentDBX = MakeLabel(FrameConversion, QString(), UiFont(9), 200, 280, 9015, 735, true);
    SetColours(LblCurrentDBX, QColor(128, 128, 128));

    Image1 = new QLabel(this);
    Image1->setPixmap(WarningPixmap());
    Place(Image1, 120, 2760, 240, 240);
    ChkDelete = new QCheckBox(QStringLiteral("Delete Source file(s), during conversion..."), this);
    ChkDelete->setFont(UiFont(9));
    SetColours(ChkDelete, QColor(128, 0, 0));
    Place(ChkDelete, 480, 2760, 3735, 255);
    lblDeleteHelp = new HelpLink(QStringLiteral(" [ ? ]"), this);
    lblDeleteHelp->setFont(UiFont(9));
    Place(lblDeleteHelp, 4200, 2760, 495, 240);

    lblLocale = MakeLabel(this, QStringLiteral("Item locale:"), UiFont(9), 5160, 2775, 1035, 255);
    lblLocale->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    CboLocale = new QComboBox(this);
    CboLocale->setObjectName(QStringLiteral("CboLocale"));
    CboLocale->setFont(UiFont(9));
    CboLocale->setEditable(true);
    CboLocale->setInsertPolicy(QComboBox::NoInsert);
    CboLocale->addItems({QStringLiteral("en-US"), QStringLiteral("en-GB"), QStringLiteral("de-DE"), QStringLiteral("fr-FR"),
                         QStringLiteral("es-ES"), QStringLiteral("it-IT"), QStringLiteral("nl-NL"), QStringLiteral("pt-BR"),
                         QStringLiteral("pt-PT"), QStringLiteral("pl-PL"), QStringLiteral("ru-RU"), QStringLiteral("ja-JP"),
                         QStringLiteral("zh-CN")});
    CboLocale->setToolTip(QStringLiteral("The Windows locale stamped on every item, as Outlook stamps the items it saves: "
                                         "a tag such as de-DE or pt_BR, or its number (LCID), e.g. 1031"));
    lblLocale->setBuddy(CboLocale);
    Place(CboLocale, 6255, 2730, 1815, 315);

    Shape1 = new Band(this, white, grey);
    Place(Shape1, -360, 3480, 10695, 1455);
    CmdStartConversion = new QPushButton(QStringLiteral("Sta&rt Migration"), this);
    CmdStartConversion->setFont(VerdanaFont(9.75));
    CmdStartConversion->setAutoDefault(false);
    Place(CmdStartConversion, 3600, 3600, 2415, 555);
    CmdStopMigration = new QPushButton(QStringLiteral("S&top Migration"), this);
    CmdStopMigration->setFont(VerdanaFont(9.75));
    CmdStopMigration->setToolTip(QStringLiteral("Stops Complete Migration"));
    CmdStopMigration->setAutoDefault(false);
    Place(CmdStopMigration, 3600, 3600, 2415, 555);
    Shape2->lower();
    Shape1->lower();

    connect(CmdStartConversion, &QPushButton::clicked, this, &frmMigateAll::CmdStartConversion_Click);
    connect(CmdSkip, &QPushButton::clicked, this, &frmMigateAll::CmdSkip_Click);
    connect(CmdStopMigration, &QPushButton::clicked, this, &frmMigateAll::CmdStopMigration_Click);
    connect(lblDeleteHelp, &HelpLink::clicked, this, &frmMigateAll::lblDeleteHelp_Click);

    if (MigrationDriverFactory()) driver_ = MigrationDriverFactory()(*this);
    Form_Load();
}

frmMigateAll::~frmMigateAll() = default;

void frmMigateAll::Form_Load() {
    setWindowTitle(QStringLiteral("Migration Status"));
    pendingLabels_ = {};
    pendingProgress_ = false;
    min_ = 0;
    max_ = 100;
    ProgressBar1->setRange(0, 100 * 100);
    ProgressBar1->setValue(0);
    progress_ = 0;
    lblProgress->setText(QStringLiteral("0% Complete"));
    lblCount1->setText(QStringLiteral("Migration Not Started Yet..."));
    LblCurrentDBX->setText(QStringLiteral("Migrating Messages..."));
    FrameConversion->setTitle(QStringLiteral(" Details "));
    CmdSkip->setEnabled(false);
    CmdStopMigration->setVisible(false);
    CmdStartConversion->setEnabled(driver_ != nullptr);
    ChkDelete->setChecked(false);
    CboLocale->setCurrentText(QStringLiteral("en-US"));
    CboLocale->setEnabled(true);
    if (driver_)
        driver_->Form_Load();
    else
        LblCurrentDBX->setText(QStringLiteral("This build has no migration engine."));
}

void frmMigateAll::ShowModal() {
    if (!isVisible()) CentreOver(this, owner_);
    BringToFront(this);
}

void frmMigateAll::CmdStartConversion_Click() {
    // The button is disabled by the run, but a click already queued must not start a second one.
    if (running_ || unloaded_ || !driver_) return;
    // The locale is read as convert --locale reads it; one it does not know starts nothing.
    runLocale_ = 0;
#ifdef HAVE_ORVANDEL_STORE
    const std::string locale = CboLocale->currentText().trimmed().toStdString();
    const auto id = store::LocaleIdFor(locale);
    if (!id) {
        ShowMessage("Item locale", "\"" + locale + "\" is not a locale Orvandel knows: choose one such as de-DE, pt_BR or "
                    "its Windows number (LCID), e.g. 1031.", engine::MessageIcon::Warning);
        CboLocale->setFocus();
        return;
    }
    runLocale_ = *id;
#endif
    running_ = true;
    startWanted_ = false;
    CmdStartConversion->setEnabled(false);
    CboLocale->setEnabled(false);
    QPointer<frmMigateAll> self(this);
    driver_->CmdStartConversion_Click();
    if (!self) return;
    ShowPending();  // the final state, whatever the time since the last
    running_ = false;
    CmdStartConversion->setEnabled(startWanted_);
    CboLocale->setEnabled(true);
    Q_EMIT runFinished();
}

void frmMigateAll::CmdSkip_Click() {
    if (driver_) driver_->CmdSkip_Click();
}

void frmMigateAll::CmdStopMigration_Click() {
    if (driver_) driver_->CmdStopMigration_Click();
}

void frmMigateAll::lblDeleteHelp_Click() { OpenURL(HelpSite() + QStringLiteral("/orvandel/help/delete-source.html")); }

void frmMigateAll::Form_QueryUnload() {
    const bool wasUnloaded = unloaded_;
    unloaded_ = true;
    if (!wasUnloaded && driver_) driver_->WindowClosed();
}

void frmMigateAll::closeEvent(QCloseEvent* event) {
    event->accept();
    Form_QueryUnload();
}

void frmMigateAll::keyPressEvent(QKeyEvent* event) {
    // Escape closes the window the way the close box does.
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QDialog::keyPressEvent(event);
}

engine::MigrationSettings frmMigateAll::ReadSettings() {
    engine::MigrationSettings s = settings_ ? settings_() : engine::MigrationSettings{};
    s.LocaleId = runLocale_;
    return s;
}

void frmMigateAll::SetLabel(engine::Label label, const std::string& text) {
    const size_t slot = static_cast<size_t>(label);
    if (slot >= pendingLabels_.size() || label == engine::Label::WindowTitle) {
        // Rare, and a sign of a new stage: shown at once, with what waits.
        ShowPending();
        ApplyLabel(label, FromUtf8(text));
        return;
    }
    pendingLabels_[slot] = FromUtf8(text);
    ShowIfDue();
}

void frmMigateAll::ShowIfDue() {
    if (!sinceShown_.isValid() || sinceShown_.elapsed() >= kShowEveryMs) ShowPending();
}

void frmMigateAll::ShowPending() {
    sinceShown_.start();
    for (size_t i = 0; i < pendingLabels_.size(); ++i) {
        if (!pendingLabels_[i]) continue;
        const QString value = *pendingLabels_[i];
        pendingLabels_[i].reset();
        ApplyLabel(static_cast<engine::Label>(i), value);
    }
    if (pendingProgress_) {
        pendingProgress_ = false;
        const double clamped = std::min<double>(std::max<double>(progress_, min_), max_);
        ProgressBar1->setValue(static_cast<int>(std::lround(clamped * 100)));
    }
}

void frmMigateAll::ApplyLabel(engine::Label label, const QString& value) {
    switch (label) {
        case engine::Label::lblCount1:
            lblCount1->setText(value);
            lblCount1->setToolTip(value);  // a long folder may not fit on the line
            break;
        case engine::Label::lblProgress: lblProgress->setText(value); break;
        case engine::Label::LblCurrentDBX: {
            // A path has no spaces to wrap at: let the label break after each separator.
            QString wrappable = value;
            wrappable.replace(QDir::separator(), QString(QDir::separator()) + QChar(0x200B));
            LblCurrentDBX->setText(wrappable);
            LblCurrentDBX->setToolTip(value);
            break;
        }
        case engine::Label::FrameConversion: FrameConversion->setTitle(value); break;
        case engine::Label::WindowTitle: setWindowTitle(value); break;
    }
}

void frmMigateAll::SetProgressRange(int min, int max) {
    ShowPending();
    min_ = min;
    max_ = max > min ? max : min + 1;
    // The bar works in hundredths so that a fractional value shows.
    ProgressBar1->setRange(min_ * 100, max_ * 100);
}

void frmMigateAll::SetProgress(float value) {
    progress_ = value;
    pendingProgress_ = true;
    ShowIfDue();
    Q_EMIT progressChanged(value);
}

namespace {

QPushButton* ButtonOf(frmMigateAll& w, engine::Button button) {
    switch (button) {
        case engine::Button::CmdStartConversion: return w.CmdStartConversion;
        case engine::Button::CmdSkip: return w.CmdSkip;
        case engine::Button::CmdStopMigration: return w.CmdStopMigration;
    }
    return nullptr;
}

}  // namespace

void frmMigateAll::SetButtonEnabled(engine::Button button, bool enabled) {
    // Start stays disabled while a run is in progress, whatever the engine asks in between.
    if (button == engine::Button::CmdStartConversion && running_) {
        startWanted_ = enabled;
        return;
    }
    if (QPushButton* b = ButtonOf(*this, button)) b->setEnabled(enabled);
}

void frmMigateAll::SetButtonVisible(engine::Button button, bool visible) {
    if (QPushButton* b = ButtonOf(*this, button)) {
        b->setVisible(visible);
        if (visible) b->raise();
    }
}

bool frmMigateAll::DeleteSourceChecked() { return ChkDelete->isChecked(); }

bool frmMigateAll::AskYesNo(const std::string& title, const std::string& text) {
    ShowPending();
    return wizard::AskYesNo(this, FromUtf8(title), FromUtf8(text));
}

void frmMigateAll::ShowMessage(const std::string& title, const std::string& text, engine::MessageIcon icon) {
    ShowPending();
    QMessageBox::Icon qicon = QMessageBox::Information;
    if (icon == engine::MessageIcon::Warning) qicon = QMessageBox::Warning;
    if (icon == engine::MessageIcon::Error) qicon = QMessageBox::Critical;
    // A window that is already unloaded still reports, but over its owner.
    QWidget* parent = isVisible() ? static_cast<QWidget*>(this) : owner_;
    wizard::ShowMessage(parent, FromUtf8(title), FromUtf8(text), qicon);
}

std::optional<std::string> frmMigateAll::AskSavePath(const std::string& filter, const std::string& proposedName) {
    ShowPending();
    const QString chosen = AskSaveFile(this, DialogFilter(FromUtf8(filter)), QFile::decodeName(proposedName.c_str()));
    if (chosen.isEmpty()) return std::nullopt;
    return QFile::encodeName(chosen).toStdString();
}

void frmMigateAll::MarkRow(int row, unsigned rgb, bool bold) {
    if (marker_) marker_(row, rgb, bold);
}

void frmMigateAll::Unload() {
    ShowPending();
    unloaded_ = true;
    hide();
}

void frmMigateAll::Yield() {
    ShowIfDue();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

}  // namespace wizard
