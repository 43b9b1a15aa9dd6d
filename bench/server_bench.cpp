// The mirror server against bare gRPC, in one process on the loopback interface:
//  - StreamFrames of 952-value frames to a dummy mirror against a client stream of byte messages of the same size
//    to a service that does nothing with them (goal: the server's frame rate at least 0.7 times the bare one);
//  - unary Send of a 952-value frame against a bare unary call of the same size (goal: at most 1.5 times the
//    bare round trip; p50 and p99 of both are printed);
//  - channel summing, 4 channels of 4096 actuators with the saturation report, against a plain summing loop
//    (goal: at most 2 times).
// Each case is one benchmark that alternates the kit and its baseline sample by sample (kit first, then baseline
// first, and so on), so that both meet the same load from the rest of the machine; every sample is timed on the
// wall clock (the server's work runs on its own threads) and the ratios are those of the medians of all samples.
// Each repetition also reports its own ratio as a counter, so the spread between repetitions shows.

#include "ChannelSum.h"
#include "Server.h"

#include "bare.grpc.pb.h"

#include <mirrorkit/v1/mirror.grpc.pb.h>

#include <benchmark/benchmark.h>

#include "support/MirrorTree.h"

#include <grpcpp/grpcpp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace pb = ::mirrorkit::v1;
namespace bare = ::mirrorkit::bench;

constexpr uint32_t kActuators = 952;
constexpr int kBatch = 250;          // frames per timed stream
constexpr int kStreamPairs = 80;     // stream samples of each side per repetition
constexpr int kCallPairs = 1500;     // unary calls of each side per repetition
constexpr int kSumPairs = 400;       // channel-sum samples of each side per repetition
constexpr int kSumsPerSample = 16;   // sums timed together, well above the clock's resolution
constexpr const char* kSerial = "BENCHSRV952";

// CPU seconds of the whole process (client, servers and gRPC's threads): the work a case costs, which other
// programs on a busy machine change less than they change the wall clock.
double processCpu() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * v.size()))];
}

// Wall and process-CPU seconds of every sample of one side.
struct Side {
    std::vector<double> wall, cpu;
    void add(const Side& other) {
        wall.insert(wall.end(), other.wall.begin(), other.wall.end());
        cpu.insert(cpu.end(), other.cpu.begin(), other.cpu.end());
    }
};

// The kit and its baseline, sample by sample; per repetition while it runs, then pooled over all of them.
struct Paired {
    Side kit, baseline;
    std::vector<double> repetitionRatios;  // median kit time / median baseline time of each repetition
};
std::map<std::string, Paired> pooled;

// Runs the benchmark's iterations, each a sample of the kit and one of the baseline, in alternating order; the
// callables return false when their sample went wrong (the benchmark then stops with that error).
template <class Kit, class Baseline>
void paired(benchmark::State& state, const char* name, Kit&& kit, Baseline&& baseline) {
    Paired rep;
    auto timed = [](Side& side, auto& body) {
        const double cpu0 = processCpu();
        const auto t0 = std::chrono::steady_clock::now();
        const bool ok = body();
        side.wall.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        side.cpu.push_back(processCpu() - cpu0);
        return ok;
    };
    int64_t n = 0;
    for (auto _ : state) {
        const bool kitFirst = n++ % 2 == 0;
        const bool ok = kitFirst ? timed(rep.kit, kit) && timed(rep.baseline, baseline)
                                 : timed(rep.baseline, baseline) && timed(rep.kit, kit);
        if (!ok) return state.SkipWithError("a sample failed; see the benchmark's checks");
    }
    const double kitMedian = median(rep.kit.wall), baselineMedian = median(rep.baseline.wall);
    state.counters["kit_us"] = kitMedian * 1e6;
    state.counters["baseline_us"] = baselineMedian * 1e6;
    state.counters["ratio"] = baselineMedian > 0 ? kitMedian / baselineMedian : 0.0;
    Paired& all = pooled[name];
    all.kit.add(rep.kit);
    all.baseline.add(rep.baseline);
    if (baselineMedian > 0) all.repetitionRatios.push_back(kitMedian / baselineMedian);
}

std::vector<double> frame(int k) {
    std::vector<double> v(kActuators);
    for (uint32_t i = 0; i < kActuators; ++i) v[i] = ((i + k) % 100) / 100.0;
    return v;
}

// The bare service: takes the bytes, does nothing.
class Bare final : public bare::BareService::Service {
    grpc::Status Sink(grpc::ServerContext*, grpc::ServerReader<bare::Blob>* reader, bare::Count* reply) override {
        bare::Blob blob;
        uint64_t n = 0;
        while (reader->Read(&blob)) ++n;
        reply->set_count(n);
        return grpc::Status::OK;
    }
    grpc::Status Unary(grpc::ServerContext*, const bare::Blob*, bare::Count* reply) override {
        reply->set_count(1);
        return grpc::Status::OK;
    }
};

// A blob whose encoded size is that of the message it stands in for.
bare::Blob blobLike(size_t encodedSize) {
    bare::Blob blob;
    size_t data = encodedSize;
    blob.set_data(std::string(data, '\x55'));
    while (blob.ByteSizeLong() > encodedSize && data > 0) blob.set_data(std::string(--data, '\x55'));
    return blob;
}

// Both servers, the dummy mirror's tree, and a connected client with the mirror open.
struct Bench {
    krvbench::MirrorTree tree{"krv-server-bench"};
    std::unique_ptr<MirrorKit::Server::MirrorServer> mirrors;
    Bare bareService;
    std::unique_ptr<grpc::Server> bareServer;
    std::unique_ptr<pb::MirrorService::Stub> stub;
    std::unique_ptr<bare::BareService::Stub> bareStub;
    std::unique_ptr<grpc::ClientContext> connectContext;
    std::unique_ptr<grpc::ClientReader<pb::ConnectEvent>> connection;
    std::string clientId;
    std::string error;

    Bench() {
        // The tree's own open proves the profile; the server opens it again.
        if (tree.open(kSerial, {"type=2", "size=952", "maxv=100", "vlim=100"}) != NO_ERR) {
            error = "the benchmark mirror does not open";
            return;
        }
        tree.close();
        MirrorKit::Server::ServerOptions options;
        options.listen = "127.0.0.1:0";
        options.sessions.profiles = tree.path() + "/Profiles";
        mirrors = MirrorKit::Server::MirrorServer::start(options, error);
        if (!mirrors) return;
        int barePort = 0;
        grpc::ServerBuilder builder;
        builder.AddListeningPort("127.0.0.1:0", grpc::InsecureServerCredentials(), &barePort);
        builder.RegisterService(&bareService);
        bareServer = builder.BuildAndStart();
        if (!bareServer || !barePort) {
            error = "the bare server does not start";
            return;
        }
        // Separate connections, so that neither case shares a transport with the other.
        auto channel = [](int port) {
            grpc::ChannelArguments args;
            args.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
            return grpc::CreateCustomChannel("127.0.0.1:" + std::to_string(port), grpc::InsecureChannelCredentials(),
                                             args);
        };
        stub = pb::MirrorService::NewStub(channel(mirrors->port()));
        bareStub = bare::BareService::NewStub(channel(barePort));

        connectContext = std::make_unique<grpc::ClientContext>();
        pb::ConnectRequest hello;
        hello.set_client_name("bench");
        connection = stub->Connect(connectContext.get(), hello);
        pb::ConnectEvent first;
        if (!connection->Read(&first)) {
            error = "Connect failed";
            return;
        }
        clientId = first.client_id();
        grpc::ClientContext context;
        prepare(context);
        pb::OpenRequest open;
        open.set_serial(kSerial);
        pb::OpenReply opened;
        if (!stub->Open(&context, open, &opened).ok() || opened.status().code() != NO_ERR)
            error = "Open failed: " + opened.status().message();
    }
    ~Bench() {
        if (connectContext) connectContext->TryCancel();
        if (connection) connection->Finish();
        if (bareServer) bareServer->Shutdown();
    }
    void prepare(grpc::ClientContext& context) const { context.AddMetadata("mirrorkit-client-id", clientId); }

    // The applied frame equals what was sent last: a fast wrong answer is no result.
    bool applied(const std::vector<double>& expected) {
        grpc::ClientContext context;
        pb::ReadRequest request;
        request.set_session(kSerial);
        pb::ReadReply reply;
        if (!stub->Read(&context, request, &reply).ok() || reply.values_size() != static_cast<int>(kActuators))
            return false;
        for (uint32_t i = 0; i < kActuators; ++i)
            if (std::abs(reply.values(static_cast<int>(i)) - expected[i]) > 1.0 / 65535) return false;
        return true;
    }
};

Bench& bench() {
    static Bench b;
    return b;
}

// Encoded sizes of the messages each side sends, printed with the results.
size_t streamFrameBytes = 0, streamBlobBytes = 0, sendBytes = 0, unaryBlobBytes = 0;

void BM_StreamFrames_vs_BareStream952(benchmark::State& state) {
    Bench& b = bench();
    if (!b.error.empty()) return state.SkipWithError(b.error.c_str());
    std::vector<pb::StreamFramesRequest> frames(kBatch);
    for (int k = 0; k < kBatch; ++k) {
        auto v = frame(k);
        frames[static_cast<size_t>(k)].mutable_values()->Add(v.begin(), v.end());
    }
    frames[0].set_session(kSerial);
    // The bare messages are the size of a frame after the first (which alone names the session).
    const bare::Blob blob = blobLike(frames[1].ByteSizeLong());
    streamFrameBytes = frames[1].ByteSizeLong();
    streamBlobBytes = blob.ByteSizeLong();

    auto kit = [&] {
        grpc::ClientContext context;
        b.prepare(context);
        auto stream = b.stub->StreamFrames(&context);
        for (const auto& f : frames) stream->Write(f);
        stream->WritesDone();
        pb::StreamFramesReply reply;
        bool complete = false;
        while (stream->Read(&reply)) complete = reply.final() && reply.frames_applied() == kBatch;
        return stream->Finish().ok() && complete;
    };
    auto baseline = [&] {
        grpc::ClientContext context;
        bare::Count count;
        auto stream = b.bareStub->Sink(&context, &count);
        for (int k = 0; k < kBatch; ++k) stream->Write(blob);
        stream->WritesDone();
        return stream->Finish().ok() && count.count() == kBatch;
    };
    paired(state, "stream", kit, baseline);
    if (!b.applied(frame(kBatch - 1))) return state.SkipWithError("the last frame is not on the mirror");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kBatch * 2);
}

void BM_Send_vs_BareUnary952(benchmark::State& state) {
    Bench& b = bench();
    if (!b.error.empty()) return state.SkipWithError(b.error.c_str());
    pb::SendRequest request;
    request.set_session(kSerial);
    const auto v = frame(7);
    request.mutable_values()->Add(v.begin(), v.end());
    const bare::Blob blob = blobLike(request.ByteSizeLong());
    sendBytes = request.ByteSizeLong();
    unaryBlobBytes = blob.ByteSizeLong();

    auto kit = [&] {
        grpc::ClientContext context;
        b.prepare(context);
        pb::FrameReply reply;
        return b.stub->Send(&context, request, &reply).ok() && reply.status().code() == NO_ERR;
    };
    auto baseline = [&] {
        grpc::ClientContext context;
        bare::Count reply;
        return b.bareStub->Unary(&context, blob, &reply).ok();
    };
    paired(state, "send", kit, baseline);
    if (!b.applied(v)) return state.SkipWithError("the frame is not on the mirror");
}

constexpr size_t kSumActuators = 4096;
constexpr size_t kChannels = 4;

struct SumInputs {
    std::vector<std::vector<double>> values;
    double gains[kChannels] = {1.0, 0.5, -0.25, 0.1};
    SumInputs() : values(kChannels, std::vector<double>(kSumActuators)) {
        uint32_t seed = 99;
        for (auto& c : values)
            for (double& x : c) {
                seed = seed * 1664525u + 1013904223u;
                x = (seed >> 8) / 16777216.0;  // 0..1: sums go past 1 here and there
            }
    }
};

void BM_ChannelSum_vs_PlainSum_4x4096(benchmark::State& state) {
    SumInputs in;
    std::vector<double> out(kSumActuators), plainOut(kSumActuators);
    MirrorKit::Server::ChannelTerm terms[kChannels];
    for (size_t c = 0; c < kChannels; ++c) terms[c] = {in.values[c].data(), in.gains[c]};
    const double *a = in.values[0].data(), *b = in.values[1].data(), *c = in.values[2].data(),
                 *d = in.values[3].data();
    const double ga = in.gains[0], gb = in.gains[1], gc = in.gains[2], gd = in.gains[3];
    uint32_t clamped = 0;
    auto kit = [&] {
        for (int k = 0; k < kSumsPerSample; ++k) {
            auto saturation = MirrorKit::Server::sumChannels(terms, kChannels, kSumActuators, out.data());
            clamped = saturation.clamped;
            benchmark::DoNotOptimize(out.data());
            benchmark::ClobberMemory();
        }
        return clamped > 0;
    };
    auto baseline = [&] {
        for (int k = 0; k < kSumsPerSample; ++k) {
            for (size_t i = 0; i < kSumActuators; ++i)
                plainOut[i] = std::clamp(ga * a[i] + gb * b[i] + gc * c[i] + gd * d[i], 0.0, 1.0);
            benchmark::DoNotOptimize(plainOut.data());
            benchmark::ClobberMemory();
        }
        return true;
    };
    paired(state, "sum", kit, baseline);
    for (size_t i = 0; i < kSumActuators; ++i)
        if (std::abs(out[i] - plainOut[i]) > 1e-12) return state.SkipWithError("the sums differ from the plain loop");
}

BENCHMARK(BM_StreamFrames_vs_BareStream952)->Iterations(kStreamPairs)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Send_vs_BareUnary952)->Iterations(kCallPairs)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ChannelSum_vs_PlainSum_4x4096)->Iterations(kSumPairs)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Errors count as failures of the program.
class Reporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) errors_ += run.error_occurred ? 1 : 0;
        ConsoleReporter::ReportRuns(runs);
    }
    int errors() const { return errors_; }

private:
    int errors_ = 0;
};

// "spread 0.81..0.93 over 5 repetitions" of a per-repetition ratio, inverted for rates.
std::string spread(const std::vector<double>& ratios, bool inverse) {
    if (ratios.empty()) return "";
    double lo = 1e300, hi = 0;
    for (double r : ratios) {
        const double x = inverse ? 1.0 / r : r;
        lo = std::min(lo, x);
        hi = std::max(hi, x);
    }
    char text[96];
    std::snprintf(text, sizeof text, "; per repetition %.2f..%.2f over %zu", lo, hi, ratios.size());
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nRatios of the medians of all samples, kit and baseline alternating:\n");
    if (auto it = pooled.find("stream"); it != pooled.end() && !it->second.kit.wall.empty()) {
        const Paired& p = it->second;
        const double kit = median(p.kit.wall), base = median(p.baseline.wall);
        const double rate = kBatch / kit, bareRate = kBatch / base;
        std::printf("StreamFrames %.0f frames/s, bare stream %.0f messages/s (%zu streams of %d each, messages of "
                    "%zu and %zu bytes): ratio %.2f (goal at least 0.7): %s%s\n",
                    rate, bareRate, p.kit.wall.size(), kBatch, streamFrameBytes, streamBlobBytes, rate / bareRate,
                    rate / bareRate >= 0.7 ? "met" : "NOT met", spread(p.repetitionRatios, true).c_str());
        const double cpu = median(p.kit.cpu), bareCpu = median(p.baseline.cpu);
        std::printf("  process CPU per frame: StreamFrames %.1f us, bare %.1f us: rate ratio by CPU %.2f\n",
                    cpu / kBatch * 1e6, bareCpu / kBatch * 1e6, cpu > 0 ? bareCpu / cpu : 0.0);
        // Each kit sample against the baseline sample taken next to it, which met the same load.
        std::vector<double> neighbours;
        for (size_t k = 0; k < p.kit.wall.size() && k < p.baseline.wall.size(); ++k)
            neighbours.push_back(p.baseline.wall[k] / p.kit.wall[k]);
        std::printf("  median rate ratio of neighbouring samples %.2f\n", median(neighbours));
    }
    if (auto it = pooled.find("send"); it != pooled.end() && !it->second.kit.wall.empty()) {
        const Paired& p = it->second;
        const double p50 = percentile(p.kit.wall, 0.5), bareP50 = percentile(p.baseline.wall, 0.5);
        const double p99 = percentile(p.kit.wall, 0.99), bareP99 = percentile(p.baseline.wall, 0.99);
        std::printf("Send p50 %.1f us, bare unary p50 %.1f us (%zu calls each, messages of %zu and %zu bytes): "
                    "ratio %.2f (goal at most 1.5): %s%s\n",
                    p50 * 1e6, bareP50 * 1e6, p.kit.wall.size(), sendBytes, unaryBlobBytes, p50 / bareP50,
                    p50 / bareP50 <= 1.5 ? "met" : "NOT met", spread(p.repetitionRatios, false).c_str());
        std::printf("  p99: Send %.1f us, bare %.1f us: ratio %.2f\n", p99 * 1e6, bareP99 * 1e6, p99 / bareP99);
        const double cpu = median(p.kit.cpu), bareCpu = median(p.baseline.cpu);
        std::printf("  process CPU per call: Send %.1f us, bare %.1f us: ratio %.2f\n", cpu * 1e6, bareCpu * 1e6,
                    bareCpu > 0 ? cpu / bareCpu : 0.0);
    }
    if (auto it = pooled.find("sum"); it != pooled.end() && !it->second.kit.wall.empty()) {
        const Paired& p = it->second;
        const double kit = median(p.kit.wall) / kSumsPerSample, base = median(p.baseline.wall) / kSumsPerSample;
        std::printf("channel sum %.2f us, plain loop %.2f us per 4x4096 frame: ratio %.2f (goal at most 2): %s%s\n",
                    kit * 1e6, base * 1e6, kit / base, kit / base <= 2.0 ? "met" : "NOT met",
                    spread(p.repetitionRatios, false).c_str());
    }
    benchmark::Shutdown();
    return reporter.errors() == 0 ? 0 : 1;
}
