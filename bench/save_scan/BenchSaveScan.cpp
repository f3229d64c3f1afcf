// Time to save one frame (parameter file, one raw data file and one bitmap
// per channel) for 8 and 32 channels at 512² and 2048², next to the time the
// same bytes take as plain sequential writes of the same files into the same
// directory. The automatic save runs at every frame end while the scan
// thread waits, so the save should cost little more than the bytes do:
// compare BM_SaveScan with BM_PlainWrite of the same arguments (ratio near 1).

#include "core/IniFile.h"
#include "files/ScanFileOutput.h"
#include "images/ImageRender.h"
#include "platform/MessageBoxes.h"
#include "scan/ImageBuffers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

using namespace qvt;

namespace {

// Lets the file system finish with the deleted files outside the timing.
void Settle(const QString& directory)
{
    const int fd = ::open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::syncfs(fd);
        ::close(fd);
    }
}

// Everything one frame of `channels` buffers at `pixels`² needs.
struct TFrame {
    TFrame(int channels, int pixels) : buffers(nullptr)
    {
        uint32_t seed = 12345;
        for (int i = 0; i < channels; ++i) {
            TDaten& d = buffers[i];
            d.AllocBuffers(pixels, pixels);
            const TImageMatrixPtr m = d.Data();
            for (int r = 0; r < pixels; ++r)
                for (int c = 0; c < pixels; ++c) {
                    seed = seed * 1664525u + 1013904223u;
                    m->Store(r, c, static_cast<int32_t>(seed >> 8) + 3 * c - 2 * r);
                }
            auto bitmap = std::make_unique<TIndexedBitmap>(pixels, pixels, 128);
            for (int r = 0; r < pixels; ++r)
                for (int c = 0; c < pixels; ++c)
                    bitmap->Row(r)[c] = static_cast<uint8_t>((r + c) % 251);
            bitmaps.push_back(std::move(bitmap));
            windows.push_back({d.Name + "  " + d.Suffix, i, bitmaps.back().get(), &table});
        }
        saveDir = dir.path() + "/scans";
        QDir().mkpath(saveDir);
        ini = std::make_unique<TQVTIniFile>(dir.path() + "/qvt.ini");
        ini->WriteString("Save", "Path", saveDir);
    }

    TSaveOutcome Save()
    {
        TSaveRequest request;
        request.Ini = ini.get();
        request.Channels = &buffers;
        request.Windows = windows;
        request.Environment.UserName = [] { return QStringLiteral("bench"); };
        return SaveScanFileSet(std::move(request));
    }

    void Clear() const
    {
        QDir d(saveDir);
        for (const QString& name : d.entryList(QDir::Files | QDir::Hidden))
            QFile::remove(saveDir + "/" + name);
    }

    QTemporaryDir dir;
    QString saveDir;
    std::unique_ptr<TQVTIniFile> ini;
    TImageChannels buffers;
    TColorTable table = FormulaPalette();
    std::vector<std::unique_ptr<TIndexedBitmap>> bitmaps;
    std::vector<TImageWindowPicture> windows;
};

void BM_SaveScan(benchmark::State& state, int channels, int pixels)
{
    ScriptedMessageResponder boxes;
    TFrame frame(channels, pixels);
    int64_t bytes = 0;
    for (auto _ : state) {
        const TSaveOutcome out = frame.Save();
        state.PauseTiming();
        if (!out.Complete || !boxes.Texts().isEmpty())
            state.SkipWithError("save failed");
        bytes = 0;
        for (const QString& name : out.Written)
            bytes += QFileInfo(frame.saveDir + "/" + name).size();
        frame.Clear();
        Settle(frame.saveDir);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * bytes);
}

// The same files, each one plain open-write-close from a ready block.
void BM_PlainWrite(benchmark::State& state, int channels, int pixels)
{
    QTemporaryDir dir;
    const QByteArray base = QFile::encodeName(dir.path()) + "/";
    const std::size_t intBytes = 4u * pixels * pixels;
    const std::size_t bmpBytes = 1078u + static_cast<std::size_t>(TIndexedBitmap::StrideOf(pixels)) * pixels;
    const std::size_t textBytes = 1000 + 120 * channels;
    // Each file from its own block, as the frame's buffers and pictures are.
    std::vector<std::vector<char>> blocks;
    blocks.emplace_back(textBytes, 't');
    for (int i = 0; i < channels; ++i) {
        blocks.emplace_back(intBytes, static_cast<char>(i));
        blocks.emplace_back(bmpBytes, static_cast<char>(i + 1));
    }
    const auto writeFile = [](const QByteArray& name, const std::vector<char>& block) {
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        const bool ok = fd >= 0 && ::write(fd, block.data(), block.size()) == static_cast<ssize_t>(block.size());
        if (fd >= 0)
            ::close(fd);
        return ok;
    };
    for (auto _ : state) {
        bool ok = writeFile(base + "plain.txt", blocks[0]);
        for (int i = 0; i < channels; ++i) {
            ok = writeFile(base + "plain" + QByteArray::number(i) + ".int", blocks[1 + 2 * i]) && ok;
            ok = writeFile(base + "plain" + QByteArray::number(i) + ".bmp", blocks[2 + 2 * i]) && ok;
        }
        state.PauseTiming();
        if (!ok)
            state.SkipWithError("write failed");
        QDir d(dir.path());
        for (const QString& name : d.entryList(QDir::Files))
            QFile::remove(dir.path() + "/" + name);
        Settle(dir.path());
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * (textBytes + channels * (intBytes + bmpBytes)));
}

} // namespace

// Save and plain write of each size one after the other, so both meet the
// same state of the disk cache.
int main(int argc, char** argv)
{
    for (int channels : {8, 32})
        for (int pixels : {512, 2048}) {
            char size[32];
            std::snprintf(size, sizeof size, "/%d/%d", channels, pixels);
            benchmark::RegisterBenchmark((std::string("BM_SaveScan") + size).c_str(), [=](benchmark::State& state) {
                BM_SaveScan(state, channels, pixels);
            })->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark((std::string("BM_PlainWrite") + size).c_str(), [=](benchmark::State& state) {
                BM_PlainWrite(state, channels, pixels);
            })->Unit(benchmark::kMillisecond);
        }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
