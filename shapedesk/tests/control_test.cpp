// The controller on dummy mirrors and emulated PCIe cards; the kit's exports it calls are counted here.
#include "ShapeDeskTestSupport.h"

#include "aocontrol.h"
#include "mirrorsession.h"

#include <KRV_OpenLoop.h>
#include <KRV_PCIeAPI.h>
#include <pexlink.h>

#include <krv/emu/pexcard.h>
#include <krv/platform/named_lock.h>

#include <QCoreApplication>
#include <QSignalSpy>
#include <QtTest>

#include <dlfcn.h>
#include <unistd.h>

#include <cmath>
#include <memory>

// Stand-ins that count the calls and pass them on to the kit.
namespace calls {
int setArray = 0;
int enableHighRes = 0;
std::vector<unsigned> surfaceOptions;
std::vector<bool> segmentSendNow;
}  // namespace calls

template <typename F>
F next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

extern "C" {
KRVAPI KRVRC KRVSetArray(DM* dm, const double* values, const uint32_t* map) {
    ++calls::setArray;
    return next<KRVRC (*)(DM*, const double*, const uint32_t*)>("KRVSetArray")(dm, values, map);
}
KRVAPI KRVRC KRV_PCIeEnableHighRes(DM* dm, int32_t enable) {
    ++calls::enableHighRes;
    return next<KRVRC (*)(DM*, int32_t)>("KRV_PCIeEnableHighRes")(dm, enable);
}
KRVAPI KRVRC KRVCalculateSurfaceEx(DM* dm, double* phase, int width, int height, int dm_diameter, unsigned options,
                                   double* commands, unsigned commandCount, double* lowRes, unsigned lowResCount) {
    calls::surfaceOptions.push_back(options);
    return next<decltype(&KRVCalculateSurfaceEx)>("KRVCalculateSurfaceEx")(
        dm, phase, width, height, dm_diameter, options, commands, commandCount, lowRes, lowResCount);
}
KRVAPI KRVRC KRVSetSegment(DM* dm, unsigned segment, double piston, double xTilt, double yTilt, bool applyOffsets,
                           bool sendNow) {
    calls::segmentSendNow.push_back(sendNow);
    return next<decltype(&KRVSetSegment)>("KRVSetSegment")(dm, segment, piston, xTilt, yTilt, applyOffsets, sendNow);
}
}

class ControlTest : public QObject {
    Q_OBJECT
    std::unique_ptr<krvtest::InstallTree> tree;
    std::unique_ptr<krvtest::TempDir> cards;
    std::string lockName = "sd-control-test-" + std::to_string(getpid());

private slots:
    void initTestCase() {
        if (!std::filesystem::exists(sdtest::table("cdm_952_z.mat"))) QSKIP("no generated calibration tables");
        tree = std::make_unique<krvtest::InstallTree>();
        sdtest::writeDummyMirror(*tree, "SDDUMMY0140", 140);
        sdtest::writeDummyMirror(*tree, "SDCONT00952", 952, sdtest::table("cdm_952_z.mat"));
        sdtest::writeDummyMirror(*tree, "SDSEGM00111", 111, sdtest::table("hex_111.mat"));
        sdtest::writeDummyMirror(*tree, "SDSEGI00111", 111, sdtest::table("hex_111.mat"), "inactive=3:3,4,5");
        sdtest::writeDummyMirror(*tree, "SDSEGL00111", 111, sdtest::table("hex_111.mat"), "inactive=3:108,109,110");
    }
    void cleanupTestCase() { MirrorKit::platform::NamedLock::remove(lockName); }

    void closedControllerNeverReachesKit() {
        AOControl control;
        const int before = calls::setArray;
        QCOMPARE(control.setDMShape(std::vector<double>(140, 0.5)), ERR_NO_HW);
        cv::Mat out;
        QCOMPARE(control.setDMSurface(cv::Mat(10, 10, CV_64F, cv::Scalar(1.0)), out, 0, false), ERR_NO_HW);
        QCOMPARE(calls::setArray, before);
        QVERIFY(calls::surfaceOptions.empty());
        QCOMPARE(control.setEnableHighRes(true), false);
        QCOMPARE(calls::enableHighRes, 0);
    }

    void shortShapeIsPaddedLongShapeClosesTheMirror() {
        AOControl control;
        QCOMPARE(control.initialize("SDDUMMY0140", "").ActCount, 140u);
        QCOMPARE(control.setDMShape(std::vector<double>(140, 0.7)), NO_ERR);
        QCOMPARE(control.setDMShape(std::vector<double>{0.5, 0.25}), NO_ERR);
        const std::vector<double> frame = control.getDMShape();
        QCOMPARE(frame.size(), size_t(140));
        QVERIFY(std::abs(frame[0] - 0.5) < 1e-4 && std::abs(frame[1] - 0.25) < 1e-4);
        for (size_t i = 2; i < frame.size(); ++i) QCOMPARE(frame[i], 0.0);

        // High-resolution mode belongs to PCIe cards: a dummy mirror says no without asking the kit.
        QCOMPARE(control.setEnableHighRes(true), false);
        QCOMPARE(calls::enableHighRes, 0);

        const int before = calls::setArray;
        QCOMPARE(control.setDMShape(std::vector<double>(141, 0.1)), ERR_UNKNOWN);
        QCOMPARE(calls::setArray, before);
        QVERIFY(!control.isOpen());
        QCOMPARE(control.setDMShape(std::vector<double>(140, 0.1)), ERR_NO_HW);
    }

    void outOfRangeSurfaceIsRetriedWithBestEffort() {
        AOControl control;
        QCOMPARE(control.initialize("SDCONT00952", "").ActCount, 952u);
        QVERIFY(control.hasCalibration());
        const int width = control.gridWidth();
        QCOMPARE(width, 34);

        calls::surfaceOptions.clear();
        const int sentBefore = calls::setArray;
        cv::Mat far(40, 40, CV_64F, cv::Scalar(1.0e6));
        cv::Mat surface;
        QCOMPARE(control.setDMSurface(far, surface, 0, true), ERR_OUT_OF_LUT_RANGE);
        QCOMPARE(calls::surfaceOptions, (std::vector<unsigned>{1u, 3u}));
        QCOMPARE(calls::setArray, sentBefore + 1);
        QCOMPARE(control.lastError(), ERR_OUT_OF_LUT_RANGE);
        QCOMPARE(surface.rows, width);
        QCOMPARE(surface.cols, width);

        // A reachable shape goes out on the first try.
        calls::surfaceOptions.clear();
        std::vector<double> coeffs(15, 0.0);
        coeffs[4] = 20.0;
        cv::Mat zernike;
        QCOMPARE(control.setDMZernikeSurface(coeffs, zernike, width - 3), NO_ERR);
        QCOMPARE(calls::surfaceOptions, (std::vector<unsigned>{0u}));
        QCOMPARE(calls::setArray, sentBefore + 2);
        double lo = 0, hi = 0;
        cv::minMaxLoc(zernike, &lo, &hi);
        QVERIFY2(hi - lo > 10.0, "the defocus shows in the returned surface");
    }

    void segmentsGoOutInOneFrameAndRangesFallBack() {
        AOControl control;
        QCOMPARE(control.initialize("SDSEGM00111", "").ActCount, 111u);
        QVERIFY(control.hasCalibration());
        calls::segmentSendNow.clear();
        int sent = calls::setArray;
        QCOMPARE(control.setDMAllSegments(300, 0.0, 0.0), NO_ERR);
        QCOMPARE(calls::segmentSendNow.size(), size_t(37));
        QCOMPARE(std::count(calls::segmentSendNow.begin(), calls::segmentSendNow.end(), true), 0L);
        QCOMPARE(calls::setArray, sent + 1);
        const std::vector<double> frame = control.getDMShape();
        QVERIFY(*std::max_element(frame.begin(), frame.end()) > 0.0);
        control.close();

        // The last segment inactive: the kit skips its call, the frame still goes out once, holding the others.
        QCOMPARE(control.initialize("SDSEGL00111", "").ActCount, 111u);
        sent = calls::setArray;
        QCOMPARE(control.setDMAllSegments(300, 0.0, 0.0), NO_ERR);
        QCOMPARE(calls::setArray, sent + 1);
        const std::vector<double> lastInactive = control.getDMShape();
        QVERIFY(*std::max_element(lastInactive.begin(), lastInactive.begin() + 108) > 0.0);

        // The range the kit reports, in whole nanometres inside it.
        double lo = 0, hi = 0;
        DM record = control.record();
        QCOMPARE(KRVGetSegmentRange(&record, 2, DM_Piston, 0.0, 0.0, 0.0, false, &lo, &hi), NO_ERR);
        QCOMPARE(control.pistonRange(2, 0.0, 0.0), std::make_pair(int(std::ceil(lo)), int(std::floor(hi))));
        QVERIFY(hi - lo > 1.0);
        // A segment out of range: the kit fails, the window gets (0, 1).
        QCOMPARE(control.pistonRange(500, 0.0, 0.0), std::make_pair(0, 1));
        control.close();

        // An inactive segment reports 0..0, which is no range either.
        QCOMPARE(control.initialize("SDSEGI00111", "").ActCount, 111u);
        QCOMPARE(control.pistonRange(1, 0.0, 0.0), std::make_pair(0, 1));
        QVERIFY(control.pistonRange(2, 0.0, 0.0) != std::make_pair(0, 1));
        control.close();

        // Without a table there is nothing to ask.
        AOControl bare;
        QCOMPARE(bare.initialize("SDDUMMY0140", "").ActCount, 140u);
        QVERIFY(!bare.hasCalibration());
        QCOMPARE(bare.pistonRange(0, 0.0, 0.0), std::make_pair(0, 1500));
    }

    void sessionKeepsTheRulesWithoutAWindow() {
        MirrorSession session;
        QSignalSpy changed(&session, &MirrorSession::mirrorChanged);
        QVERIFY(session.open("SDDUMMY0140", ""));
        QCOMPARE(changed.count(), 1);
        // Frames of any other length are refused and change nothing.
        const int before = calls::setArray;
        QCOMPARE(session.sendFrame(std::vector<double>(139, 0.5)), ERR_BADARG);
        QCOMPARE(calls::setArray, before);
        // Lists from files: padded or cut, each with its warning.
        MirrorSession::Outcome out = session.sendActuatorList({0.5, 0.25});
        QCOMPARE(out.rc, NO_ERR);
        QVERIFY(out.warning.startsWith("Warning: the shape file has 2 entries, fewer"));
        QCOMPARE(session.frame().size(), size_t(140));
        QCOMPARE(session.frame()[2], 0.0);
        out = session.sendActuatorList(std::vector<double>(150, 0.125));
        QVERIFY(out.warning.contains("150 entries, more than the mirror's 140"));
        QCOMPARE(session.frame(), std::vector<double>(140, 0.125));

        // Poke walk: wraps at both ends, the left actuator back at the level.
        session.setPokeIndex(139);
        QCOMPARE(session.movePoke(+1, 0.25), NO_ERR);
        QCOMPARE(session.pokeIndex(), 0);
        QCOMPARE(session.frame()[0], 0.125);
        QCOMPARE(session.frame()[139], 0.25);

        // Poke All runs on the timer, reports progress and, stopped, leaves the frame it found.
        const std::vector<double> shape = session.frame();
        QSignalSpy progress(&session, &MirrorSession::pokeProgress);
        QSignalSpy finished(&session, &MirrorSession::pokeAllFinished);
        QVERIFY(session.startPokeAll(0.1));
        QVERIFY(session.pokingAll());
        QCOMPARE(session.frame()[0], MirrorSession::kPokeValue);
        QTRY_VERIFY(progress.count() >= 3);
        session.stopPokeAll();
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toBool(), false);
        QVERIFY(!session.pokingAll());
        QCOMPARE(session.frame(), shape);
        QVERIFY(std::abs(session.control().getDMShape()[5] - shape[5]) < 1e-4);

        // Closing leaves the mirror at zero; a failed open leaves nothing open and says so.
        session.close();
        QCOMPARE(changed.count(), 2);
        QVERIFY(!session.isOpen());
        QVERIFY(!session.open("SDABSENT000", ""));
        QCOMPARE(changed.count(), 3);
        QVERIFY(session.frame().empty());
    }

    // The surfaces a Zernike step leaves: the region is the aperture's circle, the expected surface is the target
    // where the stroke reaches it and the stroke's ends beyond; surfaces handed out earlier never change.
    void sessionSurfacesKeepToTheApertureAndTheStroke() {
        MirrorSession session;
        QVERIFY(session.open("SDCONT00952", ""));
        QVERIFY(session.hasCalibration());
        const int w = session.control().gridWidth();
        auto insideCircle = [w](double d) {
            int n = 0;
            const double c = (w - 1) * 0.5;
            for (int y = 0; y < w; ++y)
                for (int x = 0; x < w; ++x) n += (x - c) * (x - c) + (y - c) * (y - c) <= d * d * 0.25 + 1e-9;
            return n;
        };
        std::vector<double> coeffs(15, 0.0);
        coeffs[4] = 80.0;
        QCOMPARE(session.setZernike(coeffs, w - 3), NO_ERR);
        QCOMPARE(cv::countNonZero(session.apertureRegion()), insideCircle(w - 3));
        QCOMPARE(cv::norm(session.expectedSurface(), session.targetSurface(), cv::NORM_INF), 0.0);
        const cv::Mat smallTarget = session.targetSurface(), smallCopy = smallTarget.clone();
        const cv::Mat smallRegion = session.apertureRegion(), smallRegionCopy = smallRegion.clone();

        // Far beyond the stroke: sent with best effort, the expected surface clipped to the stroke's width.
        coeffs[4] = 5000.0;
        QCOMPARE(session.setZernike(coeffs, w - 5), ERR_OUT_OF_LUT_RANGE);
        QCOMPARE(cv::countNonZero(session.apertureRegion()), insideCircle(w - 5));
        const auto stroke = session.stroke();
        QVERIFY(stroke.second > stroke.first);
        double lo = 0, hi = 0, targetLo = 0, targetHi = 0;
        cv::minMaxLoc(session.expectedSurface(), &lo, &hi, nullptr, nullptr, session.apertureRegion());
        cv::minMaxLoc(session.targetSurface(), &targetLo, &targetHi, nullptr, nullptr, session.apertureRegion());
        QVERIFY(targetHi - targetLo > stroke.second - stroke.first);
        QVERIFY(hi - lo <= stroke.second - stroke.first + 1e-9);
        QVERIFY(hi - lo > 0.9 * (stroke.second - stroke.first));
        // Where the stroke reaches, the expected surface is the target.
        cv::Mat same = session.expectedSurface() == session.targetSurface();
        QVERIFY(cv::countNonZero(same) > 0);

        // Back to the first aperture: the same circle again, and what was handed out before is as it was.
        coeffs[4] = 80.0;
        QCOMPARE(session.setZernike(coeffs, w - 3), NO_ERR);
        QCOMPARE(cv::countNonZero(session.apertureRegion() != smallRegionCopy), 0);
        QCOMPARE(cv::norm(smallTarget, smallCopy, cv::NORM_INF), 0.0);
        QCOMPARE(cv::countNonZero(smallRegion != smallRegionCopy), 0);
        QCOMPARE(cv::norm(session.expectedSurface(), session.targetSurface(), cv::NORM_INF), 0.0);

        // A phase map with points without a value is refused, and the mirror keeps its shape.
        const std::vector<double> frame = session.control().getDMShape();
        cv::Mat map(w, w, CV_64F, cv::Scalar(20.0));
        map(cv::Rect(w / 2 - 2, w / 2 - 2, 4, 4)).setTo(std::numeric_limits<double>::quiet_NaN());
        const KRVRC rc = session.setPhaseMap(map, w - 3);
        QVERIFY(rc != NO_ERR && rc != ERR_OUT_OF_LUT_RANGE);
        QCOMPARE(session.control().getDMShape(), frame);
    }

    void sessionSegmentsInTheControlsUnits() {
        MirrorSession session;
        QVERIFY(session.open("SDSEGM00111", ""));
        QVERIFY(session.geometry().segmented);
        const auto range = session.control().pistonRange(4, 0.0, 0.0);
        const double piston = 0.5 * (range.first + range.second);
        // Editor units: nm and milliradians; the kit's: nm and radians.
        QCOMPARE(session.setSegment(4, piston, 0.05, -0.02), NO_ERR);
        QCOMPARE(session.segment(4).xTilt, 5e-5);
        QCOMPARE(session.segment(4).yTilt, -2e-5);
        // Slider units: microradians; every segment takes the state.
        QCOMPARE(session.setAllSegments(piston, 30, 0), NO_ERR);
        QCOMPARE(session.segment(36).xTilt, 3e-5);
        QCOMPARE(session.segment(36).piston, std::round(piston));
        // Opening again forgets them.
        QVERIFY(session.open("SDSEGM00111", ""));
        QCOMPARE(session.segment(36).xTilt, 0.0);
    }

    void cardChooserOnTwoCards() {
        cards = std::make_unique<krvtest::TempDir>("sd-cards");
        std::string error;
        QVERIFY2(MirrorKit::Emu::createCards(cards->path(), 2, MirrorKit::Emu::CardOptions{}, &error),
                 error.c_str());
        qputenv("PEXLINK_DEVICE_DIR", cards->path().c_str());
        qputenv("PEXLINK_LOCK_NAME", lockName.c_str());
        PEXCleanUp();
        QCOMPARE(PEXInit(), 0u);
        std::vector<uint32_t> identity(140);
        for (uint32_t i = 0; i < 140; ++i) identity[i] = i;
        krvtest::writeMap(tree->maps() + "/pcie.map", identity);
        krvtest::writeProfile(tree->profiles() + "/SDPCIE00140.dm",
                              {"type=1", "size=140", "maxv=200", "vlim=100", "hva=2", "use_fiber=1", "use_CL=0",
                               "fiber_mode=1", "burst_mode=0", "map=pcie.map"});

        AOControl control;
        IntegerQuestion asked;
        int answers = 0;
        control.setCardChooser([&](const IntegerQuestion& q, int* answer) {
            asked = q;
            if (answers++ == 0) return false;  // the first time the user cancels
            *answer = 2;
            return true;
        });
        QCOMPARE(control.initialize("SDPCIE00140", "").ActCount, 0u);
        QCOMPARE(asked.title, QString("PCIe Card Selection"));
        QCOMPARE(asked.label, QString("Multiple interface cards are installed. Select one:"));
        QCOMPARE(asked.minimum, 1);
        QCOMPARE(asked.maximum, 2);
        QCOMPARE(asked.step, 1);
        QVERIFY(asked.value == 1 || asked.value == 2);
        QVERIFY(!control.isOpen());

        const DM opened = control.initialize("SDPCIE00140", "");
        QCOMPARE(opened.ActCount, 140u);
        QCOMPARE(opened.DevId, 2);
        QCOMPARE(answers, 2);
        // Now the card is real: high-resolution mode reaches the kit.
        QVERIFY(control.setEnableHighRes(false));
        QCOMPARE(calls::enableHighRes, 1);
        QCOMPARE(control.close(), NO_ERR);
        QVERIFY(control.serialNumber().isEmpty());
    }

    // "Open Driver Map" on a PCIe mirror: the card routes every frame through its lookup table, so the map must
    // be in the card; a map that does not load leaves the card's and the controller's map as they were.
    void driverMapOnPcieReachesTheCard() {
        QVERIFY(cards);  // the cards of the test above
        std::vector<uint32_t> reverse(140);
        for (uint32_t i = 0; i < 140; ++i) reverse[i] = 139 - i;
        krvtest::writeMap(tree->maps() + "/reverse.map", reverse);
        AOControl control;
        control.setCardChooser([](const IntegerQuestion&, int* answer) {
            *answer = 1;
            return true;
        });
        QCOMPARE(control.initialize("SDPCIE00140", "").ActCount, 140u);
        std::string error;
        const auto card = MirrorKit::Emu::Card::open(cards->path() + "/PEXIO1", &error);
        QVERIFY2(card, error.c_str());
        auto lut = card->lut();
        QCOMPARE(lut[0], 0u);

        QVERIFY(control.loadMap(QString::fromStdString(tree->maps() + "/reverse.map")));
        lut = card->lut();
        QCOMPARE(std::vector<uint32_t>(lut.begin(), lut.begin() + 140), reverse);
        QCOMPARE(control.setDMShape(std::vector<double>(140, 0.5)), NO_ERR);

        QVERIFY(!control.loadMap(QString::fromStdString(tree->maps() + "/absent.map")));
        card->clearLog();
        QCOMPARE(control.setDMShape(std::vector<double>(140, 0.25)), NO_ERR);
        QCOMPARE(card->lut(), lut);
        for (const auto& transfer : card->transfers()) QVERIFY(transfer.address != MirrorKit::Emu::Reg::Lut);
        QCOMPARE(control.close(), NO_ERR);
    }
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ControlTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "control_test.moc"
