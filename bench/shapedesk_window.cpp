// ShapeDesk on a dummy 952-actuator mirror with a calibration table, on the offscreen platform.
//
// BM_UpdateZernike is one step of a Zernike slider as a hand makes it: the window's updateZernike (Zernike
// surface, surface solve with its retry, send, read-back), then a whole screen refresh for that one step (the
// window draws at most once per refresh; here every step gets its own): the views brought up to date and one pass
// of the event loop, which paints what changed. BM_SetDMZernikeSurface is the controller's call
// alone, measured in the same run. Goal: a slider step costs at most 1.5 times the controller's call (process
// CPU time, the wall-clock ratio beside it). The step is one unit (1 nm), as the arrow keys make it; on the
// window's slider that is less than a pixel of the handle's travel. BM_UpdateZernikeDrag steps 40 nm, as a
// dragging hand does, moving the handle; BM_UpdateZernikeForcedRepaint repaints the mirror view and both surface
// views in full after every step; both for reference.
//
// BM_PokeAll runs Poke All once over the 952 actuators. Goal: at least 90% of its wall time is its own 50 ms
// waits, counted as 952 x 50 ms (a wait that overruns counts against the goal).
#include "dialogs.h"
#include "ui_userwindow.h"
#include "userwindow.h"

#include "krv/Profile.h"

#include <benchmark/benchmark.h>

#include "support/RatioReporter.h"

#include <QApplication>
#include <QSlider>
#include <QSpinBox>

#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace {

constexpr double kStepGoal = 1.5;
constexpr double kPokeGoal = 0.9;
constexpr int kActuators = 952;
const char* const kSerial = "BENCHSD0952";

// No person answers during a benchmark.
class SilentDialogs : public Dialogs {
public:
    void critical(QWidget*, const QString&, const QString& text) override {
        std::fprintf(stderr, "dialog: %s\n", qPrintable(text));
    }
};

// A temporary install tree with the mirror's profile, map and table; the kit and the settings point into it.
class Tree {
public:
    Tree() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/shapedesk-bench-XXXXXX";
        if (!::mkdtemp(pattern.data())) return;
        dir = pattern;
        for (const char* sub : {"/Profiles", "/Map", "/Calibration", "/Shapes", "/config"})
            std::filesystem::create_directory(dir + sub);
        std::ofstream map(dir + "/Map/bench.map");
        for (int i = 0; i < kActuators; ++i) map << i << "\n";
        std::filesystem::copy_file(std::string(KRV_BENCH_TESTDATA_DIR) + "/calibration/cdm_952_z.mat",
                                   dir + "/Calibration/bench.mat");
        std::ofstream profile(dir + "/Profiles/" + kSerial + ".dm", std::ios::binary);
        for (const std::string line : {"type=2", "size=952", "maxv=100", "vlim=100", "map=bench.map",
                                       "calibration=bench.mat"})
            profile << MirrorKit::scramble_line(line) << "\n";
        std::ofstream(dir + "/registry.reg")
            << "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Velmira]\r\n\"InstallPath\"=\""
            << dir << "\"\r\n";
        setenv("KRV_REGISTRY_FILE", (dir + "/registry.reg").c_str(), 1);
        setenv("LOCALAPPDATA", dir.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
        setenv("KRV_OPENLOOP_LIBRARY", KRV_BENCH_OPENLOOP_LIBRARY, 1);
    }
    ~Tree() {
        std::error_code ignored;
        if (!dir.empty()) std::filesystem::remove_all(dir, ignored);
    }
    std::string dir;
};

std::unique_ptr<Tree> tree;
UserWindow* window = nullptr;

bool openWindow() {
    if (window) return window->controller().isOpen();
    window = new UserWindow();
    window->resize(1280, 760);
    window->show();
    // The window opens the saved mirror (none here) 100 ms after start; that must be over first.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!window->startedUp() && std::chrono::steady_clock::now() < until)
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    if (!window->openMirror(kSerial, "")) {
        std::fprintf(stderr, "open failed: %u\n", static_cast<unsigned>(window->controller().lastError()));
        return false;
    }
    window->form()->zernikeControlRadio->setChecked(true);
    QApplication::processEvents();
    // The first step after the aperture or the views' size changed makes the per-term pictures (reported by
    // BM_FirstZernikeStep); the steps measured here are the ones a hand makes after it.
    window->form()->zern4->setValue(50);
    // The slider a hand moves has the keyboard focus, as the click on it gives it; no text cursor blinks elsewhere
    // (a blinking cursor repaints its box and the status bar behind it twice a second, whatever the slider does).
    window->form()->zern4->setFocus(Qt::MouseFocusReason);
    window->refreshViews();
    QApplication::processEvents();
    return window->controller().hasCalibration();
}

void redraw() {
    auto* ui = window->form();
    ui->graphicsView->viewport()->repaint();
    ui->targetSurfaceView->repaint();
    ui->idealSurfaceView->repaint();
}

void BM_SetDMZernikeSurface(benchmark::State& state) {
    if (!openWindow()) {
        state.SkipWithError("the window did not open the mirror with its table");
        return;
    }
    const int diameter = window->form()->apertureDiameterEdit->value();
    std::vector<double> coeffs(15, 0.0);
    cv::Mat surface;
    int step = 0;
    for (auto _ : state) {
        coeffs[4] = 100.0 + (step++ & 1);
        if (window->controller().setDMZernikeSurface(coeffs, surface, diameter) != NO_ERR) {
            state.SkipWithError("setDMZernikeSurface failed");
            return;
        }
    }
}

// Steps of `size` nm on the defocus slider, back and forth, each with the refresh it is given and the paint it makes.
void stepDefocus(benchmark::State& state, int size, int* step) {
    if (!openWindow()) {
        state.SkipWithError("the window did not open the mirror with its table");
        return;
    }
    QSlider* defocus = window->form()->zern4;
    for (auto _ : state) {
        defocus->setValue(100 + size * ((*step)++ & 1));  // updateZernike through the slider's signal
        window->refreshViews();                            // the refresh this step is given
        QApplication::processEvents();                     // and the paint it makes
        if (window->controller().lastError() != NO_ERR) {
            state.SkipWithError("updateZernike failed");
            return;
        }
    }
}

// Kept across runs: every iteration moves the slider, however few a run makes.
void BM_UpdateZernike(benchmark::State& state) {
    static int step = 0;
    stepDefocus(state, 1, &step);
}

void BM_UpdateZernikeDrag(benchmark::State& state) {
    static int step = 0;
    stepDefocus(state, 40, &step);
}

void BM_UpdateZernikeForcedRepaint(benchmark::State& state) {
    if (!openWindow()) {
        state.SkipWithError("the window did not open the mirror with its table");
        return;
    }
    QSlider* defocus = window->form()->zern4;
    // Kept across runs: every iteration moves the slider, however few a run makes.
    static int step = 0;
    for (auto _ : state) {
        defocus->setValue(100 + (step++ & 1));
        window->refreshViews();
        redraw();
        if (window->controller().lastError() != NO_ERR) {
            state.SkipWithError("updateZernike failed");
            return;
        }
    }
}

// The first step after the aperture changed: the step, and the per-term pictures made for the new aperture.
void BM_FirstZernikeStep(benchmark::State& state) {
    if (!openWindow()) {
        state.SkipWithError("the window did not open the mirror with its table");
        return;
    }
    QSpinBox* aperture = window->form()->apertureDiameterEdit;
    const int diameter = aperture->value();
    int step = 0;
    for (auto _ : state) {
        aperture->setValue(diameter - 1 - (step++ & 1));  // updateZernike for the new aperture
        window->refreshViews();
        QApplication::processEvents();
        if (window->controller().lastError() != NO_ERR || !window->lastDrawnFromSeries()) {
            state.SkipWithError("the step after the aperture changed failed");
            return;
        }
    }
    aperture->setValue(diameter);
}

double pokeAllSeconds = 0.0;

void BM_PokeAll(benchmark::State& state) {
    if (!openWindow()) {
        state.SkipWithError("the window did not open the mirror with its table");
        return;
    }
    window->form()->actuatorControlRadio->setChecked(true);
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        window->on_actionPokeAll_triggered();
        while (window->mirrorSession().pokingAll()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
        pokeAllSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
}

BENCHMARK(BM_SetDMZernikeSurface)->MeasureProcessCPUTime()->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_UpdateZernike)->MeasureProcessCPUTime()->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_UpdateZernikeDrag)->MeasureProcessCPUTime()->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_UpdateZernikeForcedRepaint)->MeasureProcessCPUTime()->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_FirstZernikeStep)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PokeAll)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

int summary(const krvbench::RatioReporter& reporter) {
    int rc = reporter.errors() ? 1 : 0;
    const krvbench::Times alone = reporter.times("BM_SetDMZernikeSurface");
    const krvbench::Times step = reporter.times("BM_UpdateZernike");
    if (alone.cpu > 0 && step.cpu > 0) {
        const double ratio = step.cpu / alone.cpu;
        std::printf("\nZernike slider step / setDMZernikeSurface alone: %.2f (CPU; wall %.2f), goal <= %.1f: %s\n",
                    ratio, step.wall / alone.wall, kStepGoal, ratio <= kStepGoal ? "met" : "MISSED");
        if (ratio > kStepGoal) rc = 1;
    }
    const krvbench::Times first = reporter.times("BM_FirstZernikeStep");
    if (alone.cpu > 0 && first.cpu > 0)
        std::printf("First Zernike step after the aperture changed (per-term pictures made) / setDMZernikeSurface alone: "
                    "%.1f (CPU), for reference\n",
                    first.cpu / alone.cpu);
    const krvbench::Times drag = reporter.times("BM_UpdateZernikeDrag");
    if (alone.cpu > 0 && drag.cpu > 0)
        std::printf("Zernike slider step of 40 nm (the handle moves) / setDMZernikeSurface alone: %.2f (CPU; wall "
                    "%.2f), for reference\n",
                    drag.cpu / alone.cpu, drag.wall / alone.wall);
    const krvbench::Times forced = reporter.times("BM_UpdateZernikeForcedRepaint");
    if (alone.cpu > 0 && forced.cpu > 0)
        std::printf("Zernike slider step with every view repainted in full / setDMZernikeSurface alone: %.2f (CPU; "
                    "wall %.2f), for reference\n",
                    forced.cpu / alone.cpu, forced.wall / alone.wall);
    if (pokeAllSeconds > 0) {
        const double waits = kActuators * 0.050;
        const double share = waits / pokeAllSeconds;
        std::printf("Poke All: %.2f s for %d actuators, %.1f%% of it in the 50 ms waits, goal >= %.0f%%: %s\n",
                    pokeAllSeconds, kActuators, 100.0 * share, 100.0 * kPokeGoal,
                    share >= kPokeGoal ? "met" : "MISSED");
        if (share < kPokeGoal) rc = 1;
    }
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    tree = std::make_unique<Tree>();
    if (tree->dir.empty()) return 1;
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("Velmira");
    QCoreApplication::setApplicationName("ShapeDesk");
    SilentDialogs dialogs;
    Dialogs::install(&dialogs);
    benchmark::Initialize(&argc, argv);
    krvbench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    const int rc = summary(reporter);
    delete window;
    Dialogs::install(nullptr);
    return rc;
}
