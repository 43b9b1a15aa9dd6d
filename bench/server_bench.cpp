// The mirror server against bare gRPC, in one process on the loopback interface:
//  - StreamFrames of 952-value frames to a dummy mirror against a client stream of byte messages of the same size
//    to a service that does nothing with them (goal: the server's frame rate at least 0.7 times the bare one);
//  - unary Send of a 952-value frame against a bare unary call of the same size (goal: at most 1.5 times the
//    bare round trip; p50 and p99 of both are printed);
//  - channel summing, 4 channels of 4096 actuators with the saturation report, against a plain summing loop
//    (goal: at most 2 times).
// Both network cases are timed on the wall clock, batches of frames until the server has answered for all of them,
// since the server's work runs on its own threads.
#include "ChannelSum.h"
#include "Server.h"

#include "bare.grpc.pb.h"

#include <mirrorkit/v1/mirror.grpc.pb.h>

#include <benchmark/benchmark.h>

#include "support/MirrorTree.h"
#include "support/RatioReporter.h"

#include <grpcpp/grpcpp.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <map>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace pb = ::mirrorkit::v1;
namespace bare = ::mirrorkit::bench;

constexpr uint32_t kActuators = 952;

// CPU seconds of the whole process (client, servers and gRPC's threads): the work a case costs, which other
// programs on a busy machine do not change the way they change the wall clock.
double processCpu() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}
std::map<std::string, double> processCpuPerIteration;

// Measures the process CPU time of a benchmark's loop; kept per iteration under the benchmark's name.
class ProcessCpu {
public:
    ProcessCpu(benchmark::State& state, std::string name) : state_(state), name_(std::move(name)), start_(processCpu()) {}
    ~ProcessCpu() {
        if (state_.iterations() > 0)
            processCpuPerIteration[name_] = (processCpu() - start_) / static_cast<double>(state_.iterations());
    }

private:
    benchmark::State& state_;
    std::string name_;
    double start_;
};
constexpr int kBatch = 500;  // frames per timed stream
constexpr const char* kSerial = "BENCHSRV952";

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

void BM_StreamFrames_Server952(benchmark::State& state) {
    Bench& b = bench();
    if (!b.error.empty()) return state.SkipWithError(b.error.c_str());
    std::vector<pb::StreamFramesRequest> frames(kBatch);
    for (int k = 0; k < kBatch; ++k) {
        auto v = frame(k);
        frames[static_cast<size_t>(k)].mutable_values()->Add(v.begin(), v.end());
    }
    frames[0].set_session(kSerial);
    ProcessCpu cpu(state, "BM_StreamFrames_Server952");
    for (auto _ : state) {
        grpc::ClientContext context;
        b.prepare(context);
        auto stream = b.stub->StreamFrames(&context);
        for (const auto& f : frames) stream->Write(f);
        stream->WritesDone();
        pb::StreamFramesReply reply;
        bool complete = false;
        while (stream->Read(&reply)) complete = reply.final() && reply.frames_applied() == kBatch;
        if (!stream->Finish().ok() || !complete) return state.SkipWithError("a stream was not applied whole");
    }
    if (!b.applied(frame(kBatch - 1))) return state.SkipWithError("the last frame is not on the mirror");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kBatch);
}

void BM_Baseline_BareStream952(benchmark::State& state) {
    Bench& b = bench();
    if (!b.error.empty()) return state.SkipWithError(b.error.c_str());
    bare::Blob blob;
    blob.set_data(std::string(kActuators * sizeof(double), '\x55'));
    ProcessCpu cpu(state, "BM_Baseline_BareStream952");
    for (auto _ : state) {
        grpc::ClientContext context;
        bare::Count count;
        auto stream = b.bareStub->Sink(&context, &count);
        for (int k = 0; k < kBatch; ++k) stream->Write(blob);
        stream->WritesDone();
        if (!stream->Finish().ok() || count.count() != kBatch) return state.SkipWithError("bare stream incomplete");
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kBatch);
}

// Latencies of every call, for the percentiles printed at the end.
std::vector<double> sendLatencies, bareLatencies;

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * v.size()))];
}

void BM_Send_Server952(benchmark::State& state) {
    Bench& b = bench();
    if (!b.error.empty()) return state.SkipWithError(b.error.c_str());
    pb::SendRequest request;
    request.set_session(kSerial);
    const auto v = frame(7);
    request.mutable_values()->Add(v.begin(), v.end());
    sendLatencies.clear();
    ProcessCpu cpu(state, "BM_Send_Server952");
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        grpc::ClientContext context;
        b.prepare(context);
        pb::FrameReply reply;
        if (!b.stub->Send(&context, request, &reply).ok() || reply.status().code() != NO_ERR)
            return state.SkipWithError("Send failed");
        sendLatencies.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    if (!b.applied(v)) return state.SkipWithError("the frame is not on the mirror");
}

void BM_Baseline_BareUnary952(benchmark::State& state) {
    Bench& b = bench();
    if (!b.error.empty()) return state.SkipWithError(b.error.c_str());
    bare::Blob blob;
    blob.set_data(std::string(kActuators * sizeof(double), '\x55'));
    bareLatencies.clear();
    ProcessCpu cpu(state, "BM_Baseline_BareUnary952");
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        grpc::ClientContext context;
        bare::Count reply;
        if (!b.bareStub->Unary(&context, blob, &reply).ok()) return state.SkipWithError("bare call failed");
        bareLatencies.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
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

void BM_ChannelSum_4x4096(benchmark::State& state) {
    SumInputs in;
    std::vector<double> out(kSumActuators);
    MirrorKit::Server::ChannelTerm terms[kChannels];
    for (size_t c = 0; c < kChannels; ++c) terms[c] = {in.values[c].data(), in.gains[c]};
    for (auto _ : state) {
        auto saturation = MirrorKit::Server::sumChannels(terms, kChannels, kSumActuators, out.data());
        benchmark::DoNotOptimize(saturation.clamped);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
}

void BM_Baseline_PlainSum_4x4096(benchmark::State& state) {
    SumInputs in;
    std::vector<double> out(kSumActuators);
    const double *a = in.values[0].data(), *b = in.values[1].data(), *c = in.values[2].data(),
                 *d = in.values[3].data();
    const double ga = in.gains[0], gb = in.gains[1], gc = in.gains[2], gd = in.gains[3];
    for (auto _ : state) {
        for (size_t i = 0; i < kSumActuators; ++i)
            out[i] = std::clamp(ga * a[i] + gb * b[i] + gc * c[i] + gd * d[i], 0.0, 1.0);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
}

BENCHMARK(BM_StreamFrames_Server952)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Baseline_BareStream952)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Send_Server952)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Baseline_BareUnary952)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ChannelSum_4x4096);
BENCHMARK(BM_Baseline_PlainSum_4x4096);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    krvbench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto wall = [&](const char* name) { return reporter.times(name).wall; };
    std::printf("\n");
    auto cpu = [&](const char* name) {
        auto it = processCpuPerIteration.find(name);
        return it == processCpuPerIteration.end() ? 0.0 : it->second;
    };
    const double stream = wall("BM_StreamFrames_Server952"), bareStream = wall("BM_Baseline_BareStream952");
    if (stream > 0 && bareStream > 0) {
        const double rate = kBatch / stream, bareRate = kBatch / bareStream;
        std::printf("StreamFrames %.0f frames/s, bare stream %.0f messages/s: ratio %.2f (goal at least 0.7): %s\n",
                    rate, bareRate, rate / bareRate, rate / bareRate >= 0.7 ? "met" : "NOT met");
        const double c = cpu("BM_StreamFrames_Server952"), bc = cpu("BM_Baseline_BareStream952");
        if (c > 0 && bc > 0)
            std::printf("  process CPU per frame: StreamFrames %.1f us, bare %.1f us: rate ratio by CPU %.2f\n",
                        c / kBatch * 1e6, bc / kBatch * 1e6, bc / c);
    }
    const double send = wall("BM_Send_Server952"), bareUnary = wall("BM_Baseline_BareUnary952");
    if (send > 0 && bareUnary > 0) {
        std::printf("Send %.1f us, bare unary %.1f us per call: ratio %.2f (goal at most 1.5): %s\n", send * 1e6,
                    bareUnary * 1e6, send / bareUnary, send / bareUnary <= 1.5 ? "met" : "NOT met");
        const double p50 = percentile(sendLatencies, 0.5), bareP50 = percentile(bareLatencies, 0.5);
        std::printf("  latency p50 / p99: Send %.1f / %.1f us, bare %.1f / %.1f us; p50 ratio %.2f\n", p50 * 1e6,
                    percentile(sendLatencies, 0.99) * 1e6, bareP50 * 1e6, percentile(bareLatencies, 0.99) * 1e6,
                    bareP50 > 0 ? p50 / bareP50 : 0.0);
        const double c = cpu("BM_Send_Server952"), bc = cpu("BM_Baseline_BareUnary952");
        if (c > 0 && bc > 0)
            std::printf("  process CPU per call: Send %.1f us, bare %.1f us: ratio %.2f\n", c * 1e6, bc * 1e6,
                        c / bc);
    }
    const double sum = reporter.get("BM_ChannelSum_4x4096"), plain = reporter.get("BM_Baseline_PlainSum_4x4096");
    if (sum > 0 && plain > 0)
        std::printf("channel sum %.2f us, plain loop %.2f us CPU per 4x4096 frame: ratio %.2f (goal at most 2): %s\n",
                    sum * 1e6, plain * 1e6, sum / plain, sum / plain <= 2.0 ? "met" : "NOT met");
    benchmark::Shutdown();
    return reporter.errors() == 0 ? 0 : 1;
}
