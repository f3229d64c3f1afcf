#include "files/ScanFileOutput.h"

#include "core/IniFile.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"
#include "files/ParameterFile.h"
#include "files/SavePath.h"
#include "files/ScanFiles.h"
#include "images/ChildForm.h"
#include "images/ImageRender.h"
#include "motion/MoveEngine.h"
#include "platform/MessageBoxes.h"
#include "scan/DeviceWorkers.h"
#include "scan/GoXYThread.h"
#include "scan/ImageBuffers.h"
#include "support/DriverLinkFixture.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QThread>
#include <QtEndian>
#include <gtest/gtest.h>

#include <functional>

#include <chrono>
#include <clocale>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <numbers>
#include <pwd.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace qvt;

namespace {

constexpr int ZFwd = ImageChannelIndex(SlotZ, PlaneFwd);
constexpr int ZBwd = ImageChannelIndex(SlotZ, PlaneBwd);
constexpr int ZFly = ImageChannelIndex(SlotZ, PlaneFly);
constexpr int Adc(int n, int plane)
{
    return ImageChannelIndex(FirstAdcSlot + n - 1, plane);
}

QByteArray Golden(const char* name)
{
    const auto path = std::filesystem::path(QVT_TESTS_DIR) / "files" / "golden" / name;
    QFile file(QString::fromStdString(path.string()));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("missing golden file");
}

float AngleFor(double degrees)
{
    return static_cast<float>((degrees + 90.0) / 180.0 * std::numbers::pi);
}

void SetScale(int slot, const char* unit, float factor = 1.0f, int offset = 0, bool negative = false)
{
    ChannelTable[slot].UnitName = QString::fromUtf8(unit);
    ChannelTable[slot].Factor = factor;
    ChannelTable[slot].Offset = offset;
    ChannelTable[slot].FactorNegative = negative;
}

// Runs `save` in a child whose files may not grow past 8 KiB; the child
// stops where a write breaks off at that limit and is killed there. The
// child's pid, or -1 when it did not end that way.
pid_t KilledAtTheSizeLimit(const std::function<void()>& save)
{
    const pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        std::signal(SIGXFSZ, [](int) { raise(SIGSTOP); });
        rlimit small{8192, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &small);
        save();
        _exit(3);
    }
    int status = 0;
    if (waitpid(child, &status, WUNTRACED) != child || !WIFSTOPPED(status))
        return -1;
    kill(child, SIGKILL);
    if (waitpid(child, &status, 0) != child || !WIFSIGNALED(status))
        return -1;
    return child;
}

// Runs `save` in a child that kills itself (SIGKILL) just before the move
// of its set's file number `rename` (0 first) to its final name. The child's
// pid, or -1 when it did not die there.
pid_t KilledAtRename(int rename, const std::function<void()>& save)
{
    const pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        SetSaveRenameHookForTests([rename](int k, const QString&) {
            if (k == rename)
                raise(SIGKILL);
        });
        save();
        _exit(3);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFSIGNALED(status) || WTERMSIG(status) != SIGKILL)
        return -1;
    return child;
}

// Every file of the directory that is not hidden, with its contents.
std::map<QString, QByteArray> FilesIn(const QString& directory)
{
    std::map<QString, QByteArray> files;
    for (const QString& name : QDir(directory).entryList(QDir::Files)) {
        QFile file(directory + "/" + name);
        files[name] = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("unreadable");
    }
    return files;
}

class ScanFilesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedTable_ = ChannelTable;
        saveDir_ = dir_.Path() + "scans";
        QDir().mkpath(saveDir_);
        ini_ = std::make_unique<TQVTIniFile>(dir_.Path() + "qvt.ini");
        ini_->WriteString("Save", "Path", saveDir_);
    }
    void TearDown() override
    {
        SetSaveRenameHookForTests({});
        ChannelTable = savedTable_;
        ScanWindowTexts = {};
    }

    // A rows × cols buffer holding 1000·row + col − 500, named `label`.
    void Open(int index, const char* label, int rows = 4, int cols = 4)
    {
        TDaten& d = channels_[index];
        d.Name = QString::fromUtf8(label);
        ASSERT_TRUE(d.AllocBuffers(rows, cols));
        const TImageMatrixPtr m = d.Data();
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < cols; ++c)
                m->Store(r, c, 1000 * r + c - 500);
    }

    TSaveOutcome Save(const TParameterFileValues& values = {}, std::vector<TImageWindowPicture> windows = {})
    {
        TSaveRequest request;
        request.Ini = ini_.get();
        request.Channels = &channels_;
        request.Windows = std::move(windows);
        request.Values = values;
        request.Environment.Now = [] { return QDateTime(QDate(2024, 3, 5), QTime(14, 3, 12)); };
        request.Environment.UserName = [] { return QStringLiteral("tester"); };
        request.Environment.Locale = QLocale(QLocale::German, QLocale::Germany);
        return SaveScanFileSet(std::move(request));
    }

    QByteArray Saved(const QString& name) const
    {
        QFile file(saveDir_ + "/" + name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    bool SavedExists(const QString& name) const { return QFile::exists(saveDir_ + "/" + name); }
    // Every entry of the save directory, hidden ones included.
    // Sorted and joined, so a failure prints readably.
    std::string Listing() const
    {
        QStringList names = QDir(saveDir_).entryList(QDir::Files | QDir::Hidden | QDir::System);
        names.sort();
        return names.join(" | ").toStdString();
    }

    test::TempDir dir_;
    QString saveDir_;
    std::unique_ptr<TQVTIniFile> ini_;
    TImageChannels channels_{&ChannelTable};
    ScriptedMessageResponder boxes_;
    TChannelTable savedTable_;
};

} // namespace

TEST(ParameterFileFormats, WriteTheFixedAndExponentFormsWithAPoint)
{
    EXPECT_EQ(FormatFixed(0.1f, 9, 3), "    0.100");
    EXPECT_EQ(FormatFixed(123456.789, 6, 3), "123456.789"); // wider values take the room they need
    EXPECT_EQ(FormatFixed(-7.25, 9, 3), "   -7.250");
    EXPECT_EQ(FormatInteger(256, 6), "   256");
    EXPECT_EQ(FormatExponent(5.0), " 5.00000000000000E+0000");
    EXPECT_EQ(FormatExponent(0.1f), " 1.00000001490116E-0001"); // single floats widened first
    EXPECT_EQ(FormatExponent(-0.25), "-2.50000000000000E-0001");
    EXPECT_EQ(FormatExponent(1e-300), " 1.00000000000000E-0300");
    EXPECT_EQ(FormatExponent(-0.0), " 0.00000000000000E+0000");
    EXPECT_EQ(FormatShortExponent(150.0), " 1.5E+0002");
    EXPECT_EQ(FormatShortExponent(-0.00025f), "-2.5E-0004");

    // A locale with a decimal comma changes nothing.
    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(FormatFixed(2.5, 6, 3), " 2.500");
    QLocale::setDefault(previous);
    // Nor does the C library's numeric locale, where one is installed.
    const std::string cLocale = std::setlocale(LC_NUMERIC, nullptr);
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr) {
        EXPECT_EQ(FormatFixed(2.5, 6, 3), " 2.500");
        EXPECT_EQ(FormatExponent(2.5), " 2.50000000000000E+0000");
    }
    std::setlocale(LC_NUMERIC, cLocale.c_str());

    // Windows-1252 where it can, UTF-8 when a character does not fit.
    EXPECT_EQ(EncodeParameterFile(QString::fromUtf8("µm °")), QByteArray("\xB5m \xB0"));
    EXPECT_EQ(EncodeParameterFile(QString::fromUtf8("Ω")), QByteArray("\xCE\xA9"));
}

TEST(ParameterFileValues, FeedbackChannelOutsideTheTableHasNoUnit)
{
    const TChannelTable saved = ChannelTable;
    ChannelTable[FirstAdcSlot + 1].UnitName = "nA";
    TScanParams scan;
    TMicroscopeState microscope;
    TLockInState lockIn;
    microscope.FeedbackChannel = 1;
    EXPECT_EQ(CollectParameterValues(scan, microscope, lockIn, 0, nullptr).SetPointPhysUnit, "nA");
    for (int channel : {33, 40, -27, -1000}) {
        microscope.FeedbackChannel = channel;
        EXPECT_EQ(CollectParameterValues(scan, microscope, lockIn, 0, nullptr).SetPointPhysUnit, "") << channel;
    }
    ChannelTable = saved;
}

TEST(SaveTexts, DateAndTimeFollowTheLocaleAndTheUserComesFromTheSystem)
{
    const QDateTime when(QDate(2024, 3, 5), QTime(14, 3, 12));
    EXPECT_EQ(SaveDateText(when, QLocale(QLocale::German, QLocale::Germany)), "05.03.24");
    EXPECT_EQ(SaveTimeText(when, QLocale(QLocale::German, QLocale::Germany)), "14:03:12");
    EXPECT_EQ(SaveDateText(when, QLocale(QLocale::English, QLocale::UnitedStates)), "3/5/24");
    EXPECT_EQ(SaveTimeText(when, QLocale(QLocale::English, QLocale::UnitedStates)), "2:03:12 PM");

    const passwd* pw = getpwuid(geteuid());
    ASSERT_NE(pw, nullptr);
    EXPECT_EQ(GetLoginUserName(), QString::fromLocal8Bit(pw->pw_name));
}

TEST_F(ScanFilesTest, ParameterFileOfAPlainContactScanMatchesTheGoldenFile)
{
    SetScale(SlotZ, "nm", 0.5f, 100);
    SetScale(SlotBias, "V");
    SetScale(SlotX, "nm");
    SetScale(SlotY, "nm");
    SetScale(FirstAdcSlot + 1, "V");
    TScanParams scan;
    scan.Pixels = 256;
    scan.Range = 1000.0f;
    scan.Speed = 1.0f;
    scan.XCenter = 12.5f;
    scan.YCenter = -7.25f;
    scan.Angle = AngleFor(30.0);
    scan.LevelDyDz = 15.6;
    scan.OverScan = 5.0;
    TMicroscopeState microscope;
    microscope.FeedbackMode = 3;
    microscope.FeedbackSets[FeedbackSetIndex(3)] = {0.5f, 0.1f, 1500.0f, 250.0f, 1};
    microscope.FeedbackChannel = 1;
    microscope.ModeName = "cmAFM";
    microscope.LockInOn = 0;
    TLockInState lockIn;
    Open(ZFwd, "Topography");
    Open(ZBwd, "Topography");

    const TSaveOutcome out = Save(CollectParameterValues(scan, microscope, lockIn, 0, ini_.get()));

    EXPECT_TRUE(out.Complete);
    EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.LastText().toStdString();
    EXPECT_EQ(Saved("NoName00.txt"), Golden("mode3_plain.txt"));
    EXPECT_EQ(out.Written, QStringList({"NoName00.txt", "NoName00TopographyFwd.int", "NoName00TopographyBwd.int"}));
}

TEST_F(ScanFilesTest, ParameterFileOfAPllScanWithLockInKelvinAndLiftPassMatchesTheGoldenFile)
{
    SetScale(SlotZ, "µm", 0.25f, 0);
    SetScale(SlotBias, "V");
    SetScale(SlotX, "µm");
    SetScale(SlotY, "µm");
    SetScale(FirstAdcSlot + 5, "Hz", 0.1f, -3);
    TScanParams scan;
    scan.Pixels = 512;
    scan.Range = 250.5f;
    scan.Speed = 0.5f;
    scan.XCenter = 0.0f;
    scan.YCenter = 1234.5678f;
    scan.Angle = AngleFor(-45.0);
    scan.OverScan = 12.5;
    TMicroscopeState microscope;
    microscope.FeedbackMode = 6;
    microscope.FeedbackSets[FeedbackSetIndex(6)] = {-12.5f, 0.0f, 40.0f, 2.0f, 5};
    microscope.FeedbackChannel = 5;
    microscope.ModeName = "ncAFM+PLL";
    microscope.FreqKp = 12.5f;
    microscope.FreqSetpoint = -3.2f;
    microscope.AmplSetpoint = 0.75f;
    microscope.AmplKi = 300.0f;
    microscope.AmplKp = 20.0f;
    microscope.LockInOn = 3;
    microscope.KelvinOn = 1;
    microscope.KelvinRef = 0.1f;
    microscope.KelvinKi = 0.00025f;
    TLockInState lockIn;
    lockIn.DriveFrequency = 73125.5;
    lockIn.DriveAmplitude = 0.025;
    ini_->WriteString("Window", "FlyHeight", "12.500");
    ScanWindowTexts.DzDx = [] { return QString::fromUtf8("dz/dx= 1.250°"); };
    ScanWindowTexts.DzDy = [] { return QString::fromUtf8("dz/dy=-0.500°"); };
    Open(ZFwd, "Topography");
    Open(ZFly, "Topography");
    Open(Adc(6, PlaneFwd), "Frequency shift");

    const TSaveOutcome out = Save(CollectParameterValues(scan, microscope, lockIn, 1, ini_.get()));

    EXPECT_TRUE(out.Complete);
    EXPECT_EQ(Saved("NoName00.txt"), Golden("mode6_lockin_kelvin_fly.txt"));
    EXPECT_TRUE(SavedExists("NoName00Frequency shiftFwd.int"));
}

TEST_F(ScanFilesTest, NegativeFactorsAndSameLabelsAreWrittenAsTheyAre)
{
    SetScale(SlotBias, "V");
    SetScale(SlotX, "nm");
    SetScale(SlotY, "nm");
    SetScale(FirstAdcSlot, "nA", 0.25f, -200, true);
    SetScale(FirstAdcSlot + 1, "V");
    SetScale(FirstAdcSlot + 2, "V");
    TScanParams scan;
    scan.Pixels = 128;
    scan.Range = 100.0f;
    scan.Speed = 2.0f;
    scan.Angle = AngleFor(0.0);
    TMicroscopeState microscope;
    microscope.FeedbackMode = 0;
    microscope.FeedbackSets[FeedbackSetIndex(0)] = {1.0f, -0.25f, 800.0f, 0.0f, 0};
    microscope.FeedbackChannel = 0;
    microscope.ModeName = "STM";
    TLockInState lockIn;
    Open(Adc(1, PlaneFwd), "Current");
    Open(Adc(2, PlaneFwd), "unknown");
    Open(Adc(3, PlaneFwd), "unknown", 2, 3);
    Open(Adc(4, PlaneBwd), "Raw");
    channels_[Adc(4, PlaneBwd)].Scale = nullptr;

    const TSaveOutcome out = Save(CollectParameterValues(scan, microscope, lockIn, 0, ini_.get()));

    EXPECT_TRUE(out.Complete);
    EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.LastText().toStdString();
    EXPECT_EQ(Saved("NoName00.txt"), Golden("negative_factor.txt"));
    // The second "unknown" did not stop the save, and nothing was mixed up.
    EXPECT_EQ(Saved("NoName00unknownFwd.int").size(), 4 * 4 * 4);
    EXPECT_EQ(Saved("NoName00unknownFwd_ADC3.int").size(), 4 * 2 * 3);
    EXPECT_TRUE(SavedExists("NoName00RawBwd.int"));
}

TEST_F(ScanFilesTest, RawDataFilesHoldTheReadingsRowByRowLittleEndian)
{
    Open(ZFwd, "Topography", 3, 5);
    channels_[ZFwd].Data()->Store(2, 4, -2147483647 - 1);
    Save();

    const QByteArray bytes = Saved("NoName00TopographyFwd.int");
    ASSERT_EQ(bytes.size(), 60); // no header, no spare cell
    const TImageMatrixPtr m = channels_[ZFwd].Data();
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 5; ++c)
            EXPECT_EQ(qFromLittleEndian<int32_t>(bytes.constData() + 4 * (5 * r + c)), m->At(r, c)) << r << "," << c;
    EXPECT_EQ(bytes.left(4), QByteArray("\x0C\xFE\xFF\xFF", 4)); // -500, low byte first
    EXPECT_EQ(bytes.right(4), QByteArray("\x00\x00\x00\x80", 4));
}

TEST_F(ScanFilesTest, BitmapsReadBackAsThePictureShownWithLineOneAtTheTop)
{
    TIndexedBitmap bitmap(130, 3, 128);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 130; ++c)
            bitmap.Row(r)[c] = static_cast<uint8_t>((r * 70 + c) % 251);
    TColorTable table = FormulaPalette();
    ReversePalette(table);
    SetReservedEntries(table);
    Open(ZFwd, "Topography");

    const TSaveOutcome out = Save({}, {{"Topography  Fwd", ZFwd, &bitmap, &table}});

    ASSERT_TRUE(out.Written.contains("NoName00Topography  Fwd.bmp"));
    const QByteArray bytes = Saved("NoName00Topography  Fwd.bmp");
    EXPECT_EQ(bytes.size(), 1078 + 132 * 3); // rows padded to 132 bytes
    EXPECT_EQ(qFromLittleEndian<uint32_t>(bytes.constData() + 2), 1078u + 132u * 3u);
    QImage image;
    ASSERT_TRUE(image.loadFromData(bytes, "BMP"));
    ASSERT_EQ(image.format(), QImage::Format_Indexed8);
    ASSERT_EQ(image.size(), QSize(130, 3));
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 130; ++c)
            ASSERT_EQ(image.pixelIndex(c, r), bitmap.At(c, r)) << r << "," << c;
    const QList<QRgb> colours = image.colorTable();
    ASSERT_EQ(colours.size(), 256);
    for (int i = 0; i < 256; ++i)
        EXPECT_EQ(colours[i], qRgb(table[i].Red, table[i].Green, table[i].Blue)) << i;
}

TEST_F(ScanFilesTest, NumbersCountUpFromTheFirstNumberNoFileOfASetHolds)
{
    TSaveOutcome out = Save();
    EXPECT_EQ(out.BaseName, "NoName00");
    EXPECT_EQ(SaveBaseName, "NoName00");
    EXPECT_EQ(ini_->ReadInteger("Save", "Nummer", 0), 1);
    EXPECT_EQ(ini_->ReadString("Save", "LastFile", ""), "NoName00"); // quotes stripped on read
    EXPECT_TRUE(QFile(ini_->FileName()).open(QIODevice::ReadOnly));
    QFile raw(ini_->FileName());
    raw.open(QIODevice::ReadOnly);
    EXPECT_TRUE(raw.readAll().contains("LastFile=\"NoName00\""));
    EXPECT_EQ(out.Caption, "QVT   " + saveDir_ + "/NoName00");

    EXPECT_EQ(Save().BaseName, "NoName01");
    for (int n = 2; n < 100; ++n)
        QFile(saveDir_ + "/" + NumberedBaseName("NoName", n) + ".txt").open(QIODevice::WriteOnly);
    // Any file of a set holds its number: a picture, a raw image, a parameter
    // file, whatever their case; a label may begin with digits.
    const auto touch = [this](const char* name) { QFile(saveDir_ + "/" + name).open(QIODevice::WriteOnly); };
    touch("NoName100Topography  Fwd.bmp");
    touch("NoName101ErrorFwd.int");
    touch("NoName102.txt");
    touch("noname103TOPOGRAPHYFWD.INT");
    touch("NoName1042ndHarmFwd.int");
    EXPECT_EQ(NextFreeFileNumber(saveDir_, "NoName"), 105);
    // Nothing else does: other kinds, a parameter file with a label, one
    // digit, other bases, temporary files.
    for (const char* other :
         {"NoName105.dat", "NoName105notes.txt", "NoName5X.int", "NoName105", "Other105X.int", ".qvt105_0.part"})
        touch(other);
    EXPECT_EQ(NextFreeFileNumber(saveDir_, "NoName"), 105);
    EXPECT_EQ(Save().BaseName, "NoName105");
    EXPECT_EQ(ini_->ReadInteger("Save", "Nummer", 0), 106);

    ini_->WriteString("Save", "BasisName", "Probe");
    EXPECT_EQ(Save().BaseName, "Probe00");

    ApplySaveAsName(*ini_, dir_.Path() + "other/Sample.A");
    EXPECT_EQ(ini_->ReadString("Save", "Path", ""), dir_.Path() + "other");
    EXPECT_EQ(ini_->ReadString("Save", "BasisName", ""), "Sample.A");
    EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.LastText().toStdString();
}

TEST_F(ScanFilesTest, AFileFromBeforeStopsTheSaveWithoutBeingOverwritten)
{
    QFile(saveDir_ + "/NoName00.txt").open(QIODevice::WriteOnly);
    {
        QFile f(saveDir_ + "/NoName01TopographyBwd.int");
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("stray");
    }
    Open(ZFwd, "Topography");
    Open(ZBwd, "Topography");
    Open(Adc(1, PlaneFwd), "Current");
    TIndexedBitmap bitmap(4, 4, 128);
    const TColorTable table = FormulaPalette();
    const std::vector<TImageWindowPicture> windows = {{"Topography  Fwd", ZFwd, &bitmap, &table},
                                                      {"Current  Fwd", Adc(1, 0), &bitmap, &table}};

    // A number one of whose names is taken is passed by.
    const TSaveOutcome passed = Save({}, windows);
    EXPECT_TRUE(passed.Complete);
    EXPECT_EQ(passed.BaseName, "NoName02");
    EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.LastText().toStdString();
    EXPECT_EQ(Saved("NoName01TopographyBwd.int"), "stray");
    EXPECT_TRUE(SavedExists("NoName02TopographyBwd.int"));

    // A file that another program puts under a raw image's name while the
    // save runs stops the save, and is not overwritten.
    ini_->WriteString("Save", "LastFile", "\"before\"");
    const auto appear = [](const QString& path, const QString& name) {
        if (!path.endsWith("/" + name))
            return;
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::NewOnly));
        f.write("other");
    };
    SetSaveRenameHookForTests([&](int, const QString& path) { appear(path, "NoName03TopographyBwd.int"); });
    const TSaveOutcome out = Save({}, windows);

    EXPECT_FALSE(out.Complete);
    ASSERT_EQ(boxes_.Texts().size(), 1);
    EXPECT_EQ(boxes_.LastText(), "Filename " + saveDir_ + "/NoName03TopographyBwd already exists!\rSave not complete!");
    EXPECT_EQ(boxes_.Kinds().first(), MsgKind::Information);
    EXPECT_EQ(Saved("NoName03TopographyBwd.int"), "other");
    // The stopped save leaves nothing of its set: no parameter file naming
    // images that are not its own, and none of the images it had written.
    EXPECT_FALSE(SavedExists("NoName03.txt"));
    EXPECT_FALSE(SavedExists("NoName03TopographyFwd.int"));
    EXPECT_FALSE(SavedExists("NoName03CurrentFwd.int"));
    EXPECT_TRUE(out.Written.isEmpty());
    EXPECT_FALSE(SavedExists("NoName03Topography  Fwd.bmp"));
    EXPECT_EQ(ini_->ReadString("Save", "LastFile", ""), "before");
    EXPECT_EQ(ini_->ReadInteger("Save", "Nummer", 0), 4);

    // One under a picture's name only skips that window.
    boxes_.Clear();
    SetSaveRenameHookForTests([&](int, const QString& path) { appear(path, "NoName04Topography  Fwd.bmp"); });
    const TSaveOutcome next = Save({}, windows);
    SetSaveRenameHookForTests({});
    EXPECT_TRUE(next.Complete);
    EXPECT_EQ(next.BaseName, "NoName04");
    EXPECT_EQ(boxes_.Texts(), QStringList({NameExistsText(saveDir_ + "/NoName04Topography  Fwd")}));
    EXPECT_EQ(Saved("NoName04Topography  Fwd.bmp"), "other");
    EXPECT_TRUE(SavedExists("NoName04Current  Fwd.bmp"));
    EXPECT_TRUE(SavedExists("NoName04.txt"));
    EXPECT_EQ(ini_->ReadString("Save", "LastFile", ""), "NoName04");
}

TEST_F(ScanFilesTest, LabelsAndCaptionsThatCollideOrHoldSeparatorsStayInTheDirectory)
{
    Open(Adc(1, PlaneFwd), "a/b\\c\x01");
    Open(Adc(2, PlaneFwd), "unknown");
    Open(Adc(3, PlaneFwd), "UNKNOWN"); // the same name on a disk that ignores case
    TIndexedBitmap bitmap(4, 4, 128);
    const TColorTable table = FormulaPalette();

    const TSaveOutcome out = Save({}, {{"unknown  Fwd", Adc(2, 0), &bitmap, &table},
                                       {"unknown  Fwd", Adc(3, 0), &bitmap, &table},
                                       {"../x  Fwd", Adc(1, 0), &bitmap, &table}});

    EXPECT_TRUE(out.Complete);
    EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.LastText().toStdString();
    EXPECT_EQ(Listing(), "NoName00.._x  Fwd.bmp | NoName00.txt | NoName00UNKNOWNFwd_ADC3.int | NoName00a_b_c_Fwd.int | "
                         "NoName00unknown  Fwd.bmp | NoName00unknown  Fwd_ADC3.bmp | NoName00unknownFwd.int");
    const QByteArray text = Saved("NoName00.txt");
    EXPECT_TRUE(text.contains("FileName : NoName00a_b_c_Fwd.int\r\nCaption  : a/b\\c\x01"
                              "Fwd\r\n"));
    EXPECT_TRUE(text.contains("FileName : NoName00UNKNOWNFwd_ADC3.int\r\nCaption  : UNKNOWNFwd\r\n"));
}

TEST_F(ScanFilesTest, AMissingDirectoryStopsBeforeAnythingIsWritten)
{
    const QString missing = dir_.Path() + "nothere";
    ini_->WriteString("Save", "Path", missing);
    Open(ZFwd, "Topography");

    const TSaveOutcome out = Save();

    EXPECT_FALSE(out.DirectoryOk);
    EXPECT_EQ(boxes_.Texts(), QStringList({"Directory does not exists!\rSave not complete!"}));
    EXPECT_EQ(boxes_.Kinds().first(), MsgKind::Warning);
    EXPECT_FALSE(QFileInfo::exists(missing)); // the check creates nothing
    EXPECT_FALSE(ini_->ValueExists("Save", "Nummer"));

    // The check alone: an existing directory is stored, a file is no directory.
    EXPECT_TRUE(CheckSavePath(*ini_, saveDir_));
    EXPECT_EQ(ini_->ReadString("Save", "Path", ""), saveDir_);
    EXPECT_FALSE(CheckSavePath(*ini_, ini_->FileName()));
    EXPECT_EQ(ini_->ReadString("Save", "Path", ""), saveDir_);
    // A relative path with "\" is taken from the program's directory.
    const QString savedAppDir = AppDir;
    AppDir = dir_.Path();
    ini_->WriteString("Save", "Path", "scans\\sub");
    EXPECT_EQ(SaveDirectory(*ini_), saveDir_ + "/sub");
    AppDir = savedAppDir;
}

TEST_F(ScanFilesTest, AnUnwritableDirectoryGivesOneAccessErrorAndNoFiles)
{
    // Root writes anywhere a mode allows nothing; /proc refuses new files to anyone.
    QString target = saveDir_;
    if (geteuid() == 0)
        target = "/proc";
    else
        ASSERT_EQ(chmod(QFile::encodeName(saveDir_).constData(), 0555), 0);
    ini_->WriteString("Save", "Path", target);
    Open(ZFwd, "Topography");
    Open(ZBwd, "Topography");
    TIndexedBitmap bitmap(4, 4, 128);
    const TColorTable table = FormulaPalette();

    const TSaveOutcome out = Save({}, {{"Topography  Fwd", ZFwd, &bitmap, &table}});

    chmod(QFile::encodeName(saveDir_).constData(), 0755);
    EXPECT_EQ(boxes_.Texts(), QStringList({"File access error\rSave not complete!"}));
    EXPECT_TRUE(out.Written.isEmpty());
    EXPECT_EQ(Listing(), "");
}

TEST_F(ScanFilesTest, AWriteThatFailsHalfWayLeavesNoFileUnderItsName)
{
    Open(ZFwd, "Topography", 64, 64);   // 16 KiB
    TIndexedBitmap bitmap(64, 64, 128); // 5 KiB
    const TColorTable table = FormulaPalette();
    // Files may grow to 8 KiB: the raw data breaks off midway, the rest fits.
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 8192;
    setrlimit(RLIMIT_FSIZE, &small);

    const TSaveOutcome out = Save({}, {{"Topography  Fwd", ZFwd, &bitmap, &table}});

    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);
    // A raw image that could not be written ends the save with nothing of
    // its set: its parameter file would name an image that is not there.
    EXPECT_EQ(boxes_.Texts(), QStringList({"File access error\rSave not complete!"}));
    EXPECT_FALSE(out.Complete);
    EXPECT_EQ(Listing(), "");
}

TEST_F(ScanFilesTest, ALongLegalNameSavesAndNoTemporaryFileStays)
{
    // 244 + "00" + ".txt": a 250-byte name; the raw data file's name is 254 bytes.
    const QString base(244, QChar('n'));
    ini_->WriteString("Save", "BasisName", base);
    Open(ZFwd, "T");

    const TSaveOutcome out = Save();

    EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.LastText().toStdString();
    EXPECT_EQ(out.Written, QStringList({base + "00.txt", base + "00TFwd.int"}));
    EXPECT_EQ(Saved(base + "00TFwd.int").size(), 4 * 4 * 4);
    EXPECT_EQ(Listing(), (base + "00.txt | " + base + "00TFwd.int").toStdString());
    EXPECT_EQ(ini_->ReadString("Save", "LastFile", ""), base + "00");

    // The temporary names: short, hidden, and recognised exactly.
    EXPECT_EQ(TempSaveFileName(4242, 7), ".qvt4242_7.part");
    EXPECT_TRUE(IsTempSaveFileName(TempSaveFileName(2147483647, 999)));
    for (const char* other : {".qvt12_3.partx", "x.qvt12_3.part", ".qvtab_1.part", ".qvt12.part", ".qvt12_1234.part",
                              ".NoName00.txt.part0", "qvt12_3.part"})
        EXPECT_FALSE(IsTempSaveFileName(other)) << other;
}

TEST_F(ScanFilesTest, TheSweepTakesOnlyThisProgramsTemporaryFilesFromBeforeItStarted)
{
    const auto make = [this](const QString& name, bool old) {
        QFile f(saveDir_ + "/" + name);
        f.open(QIODevice::WriteOnly);
        f.write("partial");
        f.close();
        if (old) {
            const timespec times[2] = {{1000000000, 0}, {1000000000, 0}}; // 2001
            utimensat(AT_FDCWD, QFile::encodeName(saveDir_ + "/" + name).constData(), times, 0);
        }
    };
    make(".qvt100_0.part", true);
    make(".qvt100_1.part", false);     // a save under way in a running program
    make(".qvt100_0.partial", true);   // not ours
    make(".NoName00.txt.part0", true); // not ours either
    make("NoName00.txt", true);
    QDir(saveDir_).mkdir(".qvt101_0.part");
    const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    utimensat(AT_FDCWD, QFile::encodeName(saveDir_ + "/.qvt101_0.part").constData(), old, 0);
    symlink("NoName00.txt", QFile::encodeName(saveDir_ + "/.qvt102_0.part").constData());
    utimensat(AT_FDCWD, QFile::encodeName(saveDir_ + "/.qvt102_0.part").constData(), old, AT_SYMLINK_NOFOLLOW);

    EXPECT_EQ(SweepStaleTempFiles(saveDir_), 1);
    EXPECT_EQ(Listing(), ".NoName00.txt.part0 | .qvt100_0.partial | .qvt100_1.part | .qvt102_0.part | NoName00.txt");
    EXPECT_TRUE(QFileInfo(saveDir_ + "/.qvt101_0.part").isDir());
}

TEST_F(ScanFilesTest, AKilledSaveLeavesNoTemporaryFileOnceTheProgramSavesAgain)
{
    Open(ZFwd, "Topography", 64, 64); // 16 KiB
    Open(ZBwd, "Topography", 64, 64);
    // The first program dies in the middle of the raw data: the size limit
    // stops it there, and it is killed while stopped.
    const pid_t killed = KilledAtTheSizeLimit([this] { Save(); });
    ASSERT_GT(killed, 0);
    int status = 0;
    // The parameter file waits under its temporary name for the raw image
    // that was being written: no parameter file names images that are missing.
    const QStringList left = QDir(saveDir_).entryList({".qvt*"}, QDir::Files | QDir::Hidden);
    EXPECT_EQ(left, QStringList({TempSaveFileName(killed, 0), TempSaveFileName(killed, 1)}));
    EXPECT_TRUE(QDir(saveDir_).entryList({"*.txt"}, QDir::Files).isEmpty());

    // This process ran while that save was made: it leaves the files alone.
    Save();
    for (const QString& name : left)
        EXPECT_TRUE(SavedExists(name)) << name.toStdString();
    EXPECT_TRUE(SavedExists("NoName00.txt"));
    EXPECT_TRUE(SavedExists("NoName00TopographyBwd.int"));

    // A program started after the kill sweeps it. The pause lets the process
    // clock (in ticks of 10 ms) pass the file's time.
    QThread::msleep(50);
    const pid_t next = fork();
    ASSERT_GE(next, 0);
    if (next == 0)
        _exit(Save().Complete ? 0 : 1);
    ASSERT_EQ(waitpid(next, &status, 0), next);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(QDir(saveDir_).entryList({".qvt*"}, QDir::Files | QDir::Hidden).isEmpty());
    EXPECT_TRUE(SavedExists("NoName01TopographyBwd.int"));
}

TEST_F(ScanFilesTest, AKilledSaveHoldsNoNumberAndLeavesNoHalfSet)
{
    Open(ZFwd, "Topography", 16, 16); // 1 KiB: done before the kill
    Open(ZBwd, "Topography", 64, 64); // 16 KiB: breaks off at the size limit
    TIndexedBitmap bitmap(4, 4, 128);
    const TColorTable table = FormulaPalette();
    const pid_t killed = KilledAtTheSizeLimit([&] { Save({}, {{"Topography  Fwd", ZFwd, &bitmap, &table}}); });
    ASSERT_GT(killed, 0);
    // Only temporary files: no raw image finished before the kill stands
    // under a name of the set, nor does its parameter file.
    EXPECT_TRUE(QDir(saveDir_).entryList(QDir::Files).isEmpty()) << Listing();
    EXPECT_EQ(QDir(saveDir_).entryList({".qvt*"}, QDir::Files | QDir::Hidden).size(), 3);

    // The next save takes the number the killed one had, whole and without a word.
    const TSaveOutcome next = Save({}, {{"Topography  Fwd", ZFwd, &bitmap, &table}});
    EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.LastText().toStdString();
    EXPECT_TRUE(next.Complete);
    EXPECT_EQ(next.BaseName, "NoName00");
    EXPECT_EQ(Saved("NoName00TopographyBwd.int").size(), 4 * 64 * 64);
    EXPECT_EQ(Saved("NoName00TopographyFwd.int").size(), 4 * 16 * 16);
    EXPECT_TRUE(SavedExists("NoName00.txt"));
    EXPECT_TRUE(SavedExists("NoName00Topography  Fwd.bmp"));
    EXPECT_EQ(ini_->ReadInteger("Save", "Nummer", 0), 1);
}

TEST_F(ScanFilesTest, ASaveWhoseParameterFileFailedNamesNoSet)
{
    Open(ZFwd, "Topography");
    ini_->WriteString("Save", "LastFile", "\"before\"");
    TQVTIniFile* savedMain = MainIni;
    MainIni = ini_.get();
    // A folder where nothing can be written (root writes anywhere a mode
    // allows nothing; /proc refuses new files to anyone).
    const QString other = dir_.Path() + "other";
    QDir().mkpath(other);
    const QString target = geteuid() == 0 ? QStringLiteral("/proc") : other;
    chmod(QFile::encodeName(other).constData(), 0555);

    const TSaveOutcome out = SaveScanFilesAs(target + "/Sample", channels_, nullptr);

    chmod(QFile::encodeName(other).constData(), 0755);
    MainIni = savedMain;
    EXPECT_TRUE(out.DirectoryOk);
    EXPECT_EQ(boxes_.Texts(), QStringList({"File access error\rSave not complete!"}));
    EXPECT_TRUE(out.Written.isEmpty());
    EXPECT_TRUE(out.Caption.isEmpty());
    EXPECT_EQ(ini_->ReadString("Save", "LastFile", ""), "before");
    EXPECT_EQ(ini_->ReadString("Save", "Path", ""), target); // the name chosen stays chosen
    EXPECT_TRUE(QDir(other).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

namespace {

using qvt::test::PumpUntil;

// The scan thread on the simulated controller with three image windows and
// the Save button down.
class AutoSaveTest : public test::DriverLinkFixture {
protected:
    void SetUp() override
    {
        DriverLinkFixture::SetUp();
        saved_.Sets = MicroscopeState.FeedbackSets;
        saved_.Channel = MicroscopeState.FeedbackChannel;
        saved_.ModeName = MicroscopeState.ModeName;
        saved_.LockInOn = MicroscopeState.LockInOn;
        saved_.KelvinOn = MicroscopeState.KelvinOn;
        saveDir_ = dir_.Path() + "scans";
        QDir().mkpath(saveDir_);
        ini_->WriteString("Save", "Path", saveDir_);
        SaveEnvironment.Now = [] { return QDateTime(QDate(2024, 3, 5), QTime(14, 3, 12)); };
        SaveEnvironment.UserName = [] { return QStringLiteral("tester"); };
        SaveEnvironment.Locale = QLocale(QLocale::German, QLocale::Germany);
    }
    void TearDown() override
    {
        if (scan_)
            scan_->Terminate();
        area_.reset();
        scan_.reset();
        CloseDevice(workers_, form_);
        SaveEnvironment = {};
        MicroscopeState.FeedbackSets = saved_.Sets;
        MicroscopeState.FeedbackChannel = saved_.Channel;
        MicroscopeState.ModeName = saved_.ModeName;
        MicroscopeState.LockInOn = saved_.LockInOn;
        MicroscopeState.KelvinOn = saved_.KelvinOn;
        DriverLinkFixture::TearDown();
    }

    void Start(int pixels = 64, float range = 6400.0f, float speed = 100.0f,
               const std::function<void(sim::SimConfig&)>& sample = {})
    {
        sim::SimConfig config = FastConfig();
        config.Surface.Base = 5000.0; // a tilted plane the loop follows
        config.Surface.TiltX = 0.5;
        config.Surface.TiltY = 0.25;
        if (sample)
            sample(config);
        sim_ = PlugSim(config);
        form_ = std::make_unique<TInOutForm>();
        form_->FormCreate();
        workers_ = std::make_unique<TDeviceWorkers>(*form_);
        workers_->FormCreate();
        ASSERT_FALSE(form_->StartFailed());
        ChannelTable[FirstAdcSlot].Address = 1;
        SetScale(SlotZ, "nm", 0.1f);
        SetScale(SlotBias, "V");
        SetScale(SlotX, "nm");
        SetScale(SlotY, "nm");
        SetScale(FirstAdcSlot, "V", 0.5f);
        SetScale(FirstAdcSlot + 1, "V");
        MicroscopeState.FeedbackMode = 3;
        MicroscopeState.FeedbackSets[FeedbackSetIndex(3)] = {0.5f, 0.0f, 100.0f, 10.0f, 1};
        MicroscopeState.FeedbackChannel = 1;
        MicroscopeState.ModeName = "cmAFM";
        MicroscopeState.LockInOn = 0;
        MicroscopeState.KelvinOn = 0;

        params_.Pixels = static_cast<int16_t>(pixels);
        params_.Range = range;
        params_.Speed = speed;
        scan_ = std::make_unique<TGoXYThread>(*form_, workers_->Moves(), params_);
        QObject::connect(scan_.get(), &TGoXYThread::scanStopped, [this] { ++stopped_; });
        area_ = std::make_unique<QMdiArea>();
        OpenWindow(ImageChannelIndex(SlotZ, PlaneFwd), "Topography");
        OpenWindow(ImageChannelIndex(SlotZ, PlaneBwd), "Topography");
        OpenWindow(ImageChannelIndex(FirstAdcSlot, PlaneFwd), "Error");
        host_ = std::make_unique<TAutoSaveHost>(*scan_, params_, area_.get());
        host_->SaveButton = [this] { return saveButton_; };
        ConnectAutoSave(*scan_, *host_);
    }

    // What the channel choice does: buffer, label, window with its caption.
    void OpenWindow(int index, const char* label)
    {
        TDaten& d = scan_->Channels[index];
        const int p = params_.Pixels.load();
        ASSERT_TRUE(d.AllocBuffers(p, p));
        d.Name = label;
        auto* window = new TChildForm(d, index);
        window->setWindowTitle(d.Name + "  " + d.Suffix);
        window->AddToMdiArea(area_.get())->show();
        windows_.push_back(window);
    }

    bool ScanOneFrame()
    {
        const int before = stopped_;
        return scan_->StartScan() && PumpUntil([&] { return scan_->Suspended() && stopped_ > before; });
    }

    // A saved raw image, rows of `pixels` readings.
    std::vector<std::vector<double>> SavedImage(const QString& name, int pixels) const
    {
        const QByteArray bytes = Saved(name);
        std::vector<std::vector<double>> rows;
        if (bytes.size() != 4 * pixels * pixels)
            return rows;
        for (int r = 0; r < pixels; ++r) {
            rows.emplace_back();
            for (int c = 0; c < pixels; ++c)
                rows.back().push_back(qFromLittleEndian<int32_t>(bytes.constData() + 4 * (pixels * r + c)));
        }
        return rows;
    }

    QByteArray Saved(const QString& name) const
    {
        QFile file(saveDir_ + "/" + name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    struct {
        std::array<TFeedbackSet, FeedbackModeCount> Sets{};
        int32_t Channel = 0;
        QString ModeName;
        uint32_t LockInOn = 0;
        int32_t KelvinOn = 0;
    } saved_;
    QString saveDir_;
    TScanParams params_;
    std::shared_ptr<sim::SimController> sim_;
    std::unique_ptr<TInOutForm> form_;
    std::unique_ptr<TDeviceWorkers> workers_;
    std::unique_ptr<TGoXYThread> scan_;
    std::unique_ptr<QMdiArea> area_;
    std::unique_ptr<TAutoSaveHost> host_;
    std::vector<TChildForm*> windows_;
    bool saveButton_ = true;
    int stopped_ = 0;
};

} // namespace

TEST_F(AutoSaveTest, EveryFrameEndSavesTheFileSetWhileTheSaveButtonIsDown)
{
    Start();
    ASSERT_TRUE(ScanOneFrame());

    ASSERT_EQ(host_->SaveCount, 1);
    EXPECT_TRUE(host_->LastSave.Complete);
    EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.LastText().toStdString();
    EXPECT_EQ(Saved("NoName00.txt"), Golden("scan_frame.txt"));
    const char* ints[] = {"NoName00TopographyFwd.int", "NoName00TopographyBwd.int", "NoName00ErrorFwd.int"};
    const int indexes[] = {ImageChannelIndex(SlotZ, PlaneFwd), ImageChannelIndex(SlotZ, PlaneBwd),
                           ImageChannelIndex(FirstAdcSlot, PlaneFwd)};
    for (int k = 0; k < 3; ++k) {
        const QByteArray bytes = Saved(ints[k]);
        ASSERT_EQ(bytes.size(), 4 * 64 * 64) << ints[k];
        const TImageMatrixPtr m = scan_->Channels[indexes[k]].Data();
        int differing = 0;
        for (int r = 0; r < 64; ++r)
            for (int c = 0; c < 64; ++c)
                differing += qFromLittleEndian<int32_t>(bytes.constData() + 4 * (64 * r + c)) != m->At(r, c);
        EXPECT_EQ(differing, 0) << ints[k];
    }
    // The topography is a surface, not zeros.
    EXPECT_NE(Saved(ints[0]), QByteArray(4 * 64 * 64, '\0'));
    const char* bmps[] = {"NoName00Topography  Fwd.bmp", "NoName00Topography  Bwd.bmp", "NoName00Error  Fwd.bmp"};
    for (int k = 0; k < 3; ++k) {
        QImage image;
        ASSERT_TRUE(image.loadFromData(Saved(bmps[k]), "BMP")) << bmps[k];
        EXPECT_TRUE(image == windows_[k]->Image()) << bmps[k];
    }
    EXPECT_EQ(ini_->ReadString("Save", "LastFile", ""), "NoName00");

    // The next frame gets the next number; with the button up nothing is saved.
    ASSERT_TRUE(ScanOneFrame());
    EXPECT_EQ(host_->LastSave.BaseName, "NoName01");
    EXPECT_TRUE(QFile::exists(saveDir_ + "/NoName01ErrorFwd.int"));
    saveButton_ = false;
    ASSERT_TRUE(ScanOneFrame());
    EXPECT_EQ(host_->SaveCount, 2);
    EXPECT_FALSE(QFile::exists(saveDir_ + "/NoName02.txt"));

    // Save after a new base name, with the windows showing the frame; and
    // Save As into another folder.
    for (TChildForm* window : windows_) {
        window->ResizeImage();
        window->RecalcPictureRange();
    }
    ini_->WriteString("Save", "BasisName", "Probe");
    EXPECT_EQ(SaveScanFiles(scan_->Channels, area_.get(), 0, params_).BaseName, "Probe00");
    EXPECT_TRUE(QFile::exists(saveDir_ + "/Probe00TopographyBwd.int"));
    QImage shown;
    ASSERT_TRUE(shown.loadFromData(Saved("Probe00Topography  Fwd.bmp"), "BMP"));
    EXPECT_EQ(shown.size(), QSize(64, 64));
    EXPECT_NE(shown.pixelIndex(0, 0), shown.pixelIndex(63, 63)); // the tilted plane
    EXPECT_TRUE(shown == windows_[0]->Image());
    QDir().mkpath(dir_.Path() + "other");
    const TSaveOutcome as = SaveScanFilesAs(dir_.Path() + "other/Sample", scan_->Channels, area_.get(), 0, params_);
    EXPECT_TRUE(as.Complete);
    EXPECT_EQ(as.Caption, "QVT   " + dir_.Path() + "other/Sample00");
    EXPECT_TRUE(QFile::exists(dir_.Path() + "other/Sample00.txt"));
    EXPECT_TRUE(QFile::exists(dir_.Path() + "other/Sample00Error  Fwd.bmp"));
    EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.LastText().toStdString();
}

// A channel's scale changed part-way (the lock-in's input range does so
// while a scan runs): the rows before were read with the old one, so the
// frame is no frame; the next is saved, and its file tells the new scale.
TEST_F(AutoSaveTest, AScaleChangedPartWayEndsTheFrameAndTheNextTellsTheNewScale)
{
    Start();
    params_.LinesLeft = 20; // as a script's SCANLINE(20): the scan parks mid-frame
    ASSERT_TRUE(ScanOneFrame());
    ASSERT_EQ(params_.CurrentLine.load(), 21);
    SetScale(FirstAdcSlot, "V", 0.25f);
    ASSERT_TRUE(ScanOneFrame()); // on to the frame's end
    EXPECT_EQ(host_->SaveCount, 0);
    EXPECT_FALSE(QFile::exists(saveDir_ + "/NoName00.txt"));

    ASSERT_TRUE(ScanOneFrame());
    ASSERT_EQ(host_->SaveCount, 1);
    const QString text = QString::fromLatin1(Saved("NoName00.txt"));
    EXPECT_TRUE(text.contains("Caption  : ErrorFwd\r\nScale    :  2.50000000000000E-0001")) << text.toStdString();
    EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.LastText().toStdString();
}

// Saves killed between the moves of their files leave images under their
// final names without a parameter file. The frames saved after them take
// numbers of their own, and nothing the killed saves left is touched.
TEST_F(AutoSaveTest, SavesKilledBetweenTheirMovesNeverBlockTheFramesSavedAfterThem)
{
    {
        // The buffers and windows of the scan below: three raw images, three
        // pictures and the parameter file, seven moves. One program is killed
        // after the first move, the next before the last.
        TImageChannels channels(&ChannelTable);
        TIndexedBitmap bitmap(64, 64, 128);
        const TColorTable table = FormulaPalette();
        std::vector<TImageWindowPicture> windows;
        for (const auto& [index, label] : {std::pair{ZFwd, "Topography"}, {ZBwd, "Topography"}, {Adc(1, 0), "Error"}}) {
            TDaten& d = channels[index];
            d.Name = label;
            ASSERT_TRUE(d.AllocBuffers(64, 64));
            windows.emplace_back(d.Name + "  " + d.Suffix, index, &bitmap, &table);
        }
        for (const int rename : {1, 6})
            ASSERT_GT(KilledAtRename(rename, [&] { SaveScanFiles(channels, windows, 0, params_, {}); }), 0)
                << "not killed at move " << rename;
    }
    const std::map<QString, QByteArray> left = FilesIn(saveDir_);
    ASSERT_EQ(left.size(), 7u);
    EXPECT_TRUE(left.contains("NoName00TopographyFwd.int"));
    EXPECT_TRUE(left.contains("NoName01Error  Fwd.bmp"));
    EXPECT_FALSE(left.contains("NoName00.txt"));
    EXPECT_FALSE(left.contains("NoName01.txt"));

    Start();
    for (int frame = 0; frame < 3; ++frame) {
        ASSERT_TRUE(ScanOneFrame());
        ASSERT_EQ(host_->SaveCount, frame + 1);
        EXPECT_TRUE(host_->LastSave.Complete);
        EXPECT_EQ(host_->LastSave.BaseName, NumberedBaseName("NoName", 2 + frame));
        EXPECT_EQ(host_->LastSave.Written.size(), 7);
        EXPECT_TRUE(QFile::exists(saveDir_ + "/" + NumberedBaseName("NoName", 2 + frame) + ".txt"));
    }
    EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.LastText().toStdString();
    EXPECT_EQ(ini_->ReadInteger("Save", "Nummer", 0), 5);
    const std::map<QString, QByteArray> after = FilesIn(saveDir_);
    for (const auto& [name, bytes] : left) {
        ASSERT_TRUE(after.contains(name)) << name.toStdString();
        EXPECT_EQ(after.at(name), bytes) << name.toStdString();
    }
    EXPECT_EQ(after.size(), left.size() + 3 * 7);
}

namespace {

// Where the frame puts pixel (row r, column c): line and pixel vectors as the
// scan rounds them, no linearisation.
QPointF PixelPlace(const TScanGeometry& g, int r, int c)
{
    return {g.StartX + std::nearbyint((r + 1) * g.LineX) + std::nearbyint((c + 1) * g.PixelX),
            g.StartY + std::nearbyint((r + 1) * g.LineY) + std::nearbyint((c + 1) * g.PixelY)};
}

// The least-squares plane z = a + b·c + d·r through an image; the largest
// deviation from it as a share of the plane's span over the image.
double PlaneResidualShare(const std::vector<std::vector<double>>& z)
{
    const int n = static_cast<int>(z.size());
    double s[3][4] = {};
    for (int r = 0; r < n; ++r) {
        for (int c = 0; c < n; ++c) {
            const double b[3] = {1.0, double(c), double(r)};
            for (int i = 0; i < 3; ++i) {
                for (int j = 0; j < 3; ++j)
                    s[i][j] += b[i] * b[j];
                s[i][3] += b[i] * z[r][c];
            }
        }
    }
    for (int i = 0; i < 3; ++i) {
        for (int k = i + 1; k < 3; ++k) {
            const double f = s[k][i] / s[i][i];
            for (int j = i; j < 4; ++j)
                s[k][j] -= f * s[i][j];
        }
    }
    double p[3] = {};
    for (int i = 2; i >= 0; --i) {
        double v = s[i][3];
        for (int j = i + 1; j < 3; ++j)
            v -= s[i][j] * p[j];
        p[i] = v / s[i][i];
    }
    double worst = 0.0;
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c)
            worst = std::max(worst, std::fabs(z[r][c] - (p[0] + p[1] * c + p[2] * r)));
    const double span = (std::fabs(p[1]) + std::fabs(p[2])) * (n - 1);
    return worst / span;
}

} // namespace

// In the bundled orientation (the fast axis along Y) at 0.05 nm a digit:
// 100 nm at 32 pixels and one line a second (62.5 digits a pixel in 610
// ticks), and the bundled 1000 nm at 128 pixels and four lines a second.
struct TFrameCase {
    int Pixels;
    float Range;
    float Speed;
};
constexpr TFrameCase SlowFrame{32, 2000.0f, 1.0f};
constexpr TFrameCase BundledFrame{128, 20000.0f, 4.0f};

class PixelPlaceTest : public AutoSaveTest {
protected:
    // A steep plain plane: nothing but the plane stays in the saved image.
    void ExpectPlainPlane(const TFrameCase& f)
    {
        Start(f.Pixels, f.Range, f.Speed, [](sim::SimConfig& c) {
            c.AdcNoise = 0.0;
            c.LogRequests = false;
            c.Surface.TiltX = 0.3;
            c.Surface.TiltY = 0.4;
        });
        params_.Angle = AngleFor(0.0);
        ASSERT_TRUE(ScanOneFrame());
        const auto image = SavedImage(host_->LastSave.BaseName + "TopographyFwd.int", f.Pixels);
        ASSERT_EQ(static_cast<int>(image.size()), f.Pixels);
        EXPECT_LT(PlaneResidualShare(image), 0.01);
    }

    // Terraces across the fast axis: every edge where the sample has it, both ways.
    void ExpectTerraceEdges(const TFrameCase& f)
    {
        constexpr double stepHeight = 200.0;
        const double terrace = f.Range * 0.3;
        Start(f.Pixels, f.Range, f.Speed, [&](sim::SimConfig& c) {
            c.AdcNoise = 0.0;
            c.LogRequests = false;
            c.Surface.TiltX = 0.3; // across the lines: the edges stay jumps along them
            c.Surface.TiltY = 0.0;
            c.Surface.StepHeight = stepHeight;
            c.Surface.TerraceWidth = terrace;
            c.Surface.StepAngle = std::numbers::pi / 2.0;
        });
        params_.Angle = AngleFor(0.0);
        ASSERT_TRUE(ScanOneFrame());
        const TScanGeometry g = scan_->Geometry();
        for (const char* pass : {"TopographyFwd.int", "TopographyBwd.int"}) {
            SCOPED_TRACE(pass);
            const auto z = SavedImage(host_->LastSave.BaseName + pass, f.Pixels);
            ASSERT_EQ(static_cast<int>(z.size()), f.Pixels);
            int edges = 0;
            for (int r = 0; r < f.Pixels; ++r) {
                std::vector<int> want;
                std::vector<int> found;
                for (int c = 1; c < f.Pixels; ++c) {
                    if (std::floor(PixelPlace(g, r, c).y() / terrace) !=
                        std::floor(PixelPlace(g, r, c - 1).y() / terrace))
                        want.push_back(c);
                    if (std::fabs(z[r][c] - z[r][c - 1]) > stepHeight / 2)
                        found.push_back(c);
                }
                ASSERT_EQ(found.size(), want.size()) << "row " << r;
                for (size_t k = 0; k < want.size(); ++k)
                    EXPECT_LE(std::abs(found[k] - want[k]), 1) << "row " << r << " edge " << k;
                edges += static_cast<int>(want.size());
            }
            EXPECT_GE(edges, 2 * f.Pixels);
        }
    }
};

TEST_F(PixelPlaceTest, ASlowFrameIsAPlaneWhereTheSampleIsOne)
{
    ExpectPlainPlane(SlowFrame);
}

TEST_F(PixelPlaceTest, ASlowFrameHasTheTerraceEdgesWhereTheSampleHasThem)
{
    ExpectTerraceEdges(SlowFrame);
}

TEST_F(PixelPlaceTest, TheBundledFrameIsAPlaneWhereTheSampleIsOne)
{
    ExpectPlainPlane(BundledFrame);
}

TEST_F(PixelPlaceTest, TheBundledFrameHasTheTerraceEdgesWhereTheSampleHasThem)
{
    ExpectTerraceEdges(BundledFrame);
}
