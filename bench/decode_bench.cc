// Request decoding: helper_ipc::decode_request against general JSON libraries doing the same work
// (parse, find the request's fields, unescape the texts into std::string, parse the addresses).
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>

#include "benchmarks.h"
#include "bodies.h"
#include "helper_ipc/codec.h"
#include "helper_ipc/frame.h"
#include "operations.h"
#include "peers.h"

namespace pelmor_bench {

namespace {

using helper_ipc::IfconfigSet;
using helper_ipc::PfLoadAnchor;
using helper_ipc::Request;

// A body in a buffer with simdjson's padding after it (zeros), as a frame reader could allocate.
class PaddedBody {
 public:
  explicit PaddedBody(const std::string& body)
      : size_(body.size()), data_(new char[body.size() + simdjson_padding()]()) {
    std::memcpy(data_.get(), body.data(), body.size());
  }
  std::string_view view() const { return {data_.get(), size_}; }

 private:
  std::size_t size_;
  std::unique_ptr<char[]> data_;
};

template <class Message>
struct Corpus {
  Message expected;
  std::string body;
  PaddedBody padded;

  explicit Corpus(Message message)
      : expected(std::move(message)), body(helper_ipc::encode_request(expected)), padded(body) {}
};

const Corpus<PfLoadAnchor>& large() {
  static const Corpus<PfLoadAnchor> corpus(make_pf_load_anchor(helper_ipc::kMaxFrameBody));
  return corpus;
}

const Corpus<IfconfigSet>& small() {
  static const Corpus<IfconfigSet> corpus(make_ifconfig_set());
  return corpus;
}

// Decodes once and checks the result before timing, so that a decoder that does not do the work
// cannot be measured; then decodes the body over and over.
template <class Message, class Decode>
void run(benchmark::State& state, const Corpus<Message>& corpus, Decode&& decode) {
  {
    const auto first = decode();
    if (!first || !(*first == corpus.expected)) {
      state.SkipWithError("the decoder did not yield the expected request");
      return;
    }
  }
  for (auto _ : state) {
    auto message = decode();
    benchmark::DoNotOptimize(message);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * corpus.body.size()));
  state.counters["body_bytes"] = static_cast<double>(corpus.body.size());
}

// Ours, with its result reduced to the message it holds.
template <class Message>
std::optional<Message> ours(std::string_view body) {
  auto request = helper_ipc::decode_request(body);
  if (!request) return std::nullopt;
  Message* message = std::get_if<Message>(&*request);
  if (message == nullptr) return std::nullopt;
  return std::move(*message);
}

template <class Message>
void register_group(const char* group, const Corpus<Message>& (*corpus)(),
                    std::optional<Message> (*nlohmann)(std::string_view),
                    std::optional<Message> (*rapid)(std::string_view, bool),
                    std::optional<Message> (SimdjsonDom::*dom)(std::string_view),
                    std::optional<Message> (SimdjsonOnDemand::*on_demand)(std::string_view)) {
  const std::string prefix = std::string("decode/") + group + "/";
  benchmark::RegisterBenchmark((prefix + "ours").c_str(), [=](benchmark::State& state) {
    const auto& c = corpus();
    run(state, c, [&] { return ours<Message>(c.body); });
  });
  benchmark::RegisterBenchmark((prefix + "rapidjson").c_str(), [=](benchmark::State& state) {
    const auto& c = corpus();
    run(state, c, [&] { return rapid(c.body, false); });
  });
  benchmark::RegisterBenchmark((prefix + "rapidjson_validating").c_str(),
                               [=](benchmark::State& state) {
                                 const auto& c = corpus();
                                 run(state, c, [&] { return rapid(c.body, true); });
                               });
  benchmark::RegisterBenchmark(
      (prefix + "simdjson_ondemand").c_str(), [=](benchmark::State& state) {
        const auto& c = corpus();
        SimdjsonOnDemand parser;
        run(state, c, [&] { return (parser.*on_demand)(c.padded.view()); });
        state.SetLabel(SimdjsonOnDemand::kernel());
      });
  benchmark::RegisterBenchmark((prefix + "simdjson_dom").c_str(), [=](benchmark::State& state) {
    const auto& c = corpus();
    SimdjsonDom parser;
    run(state, c, [&] { return (parser.*dom)(c.padded.view()); });
  });
  benchmark::RegisterBenchmark((prefix + "nlohmann").c_str(), [=](benchmark::State& state) {
    const auto& c = corpus();
    run(state, c, [&] { return nlohmann(c.body); });
  });
}

// One decoding as an operation of a paired benchmark; it fails only if the decoder yields nothing
// (its result was checked once before).
template <class Decode>
Operation decoding(Decode decode) {
  return [decode]() -> std::string {
    auto message = decode();
    benchmark::DoNotOptimize(message);
    return message ? "" : "the decoder yielded nothing";
  };
}

// Ours and a peer in turn on the 1 MiB body, so that whatever else the machine does falls on both
// alike.
template <class Decode>
void paired_with(benchmark::State& state, Decode peer) {
  const auto& c = large();
  auto ours_once = [&c] { return ours<PfLoadAnchor>(c.body); };
  for (const auto& first : {ours_once(), peer()}) {
    if (!first || !(*first == c.expected)) {
      return state.SkipWithError("a decoder did not yield the expected request");
    }
  }
  run_paired(state, decoding(ours_once), decoding(peer));
  state.counters["body_bytes"] = static_cast<double>(c.body.size());
}

// A copy of the same bytes into a new string: how fast any decoder that keeps the text could be.
void copy_only(benchmark::State& state) {
  const auto& c = large();
  for (auto _ : state) {
    std::string copy(c.body);
    benchmark::DoNotOptimize(copy);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.body.size()));
}

}  // namespace

void register_decode_benchmarks() {
  register_group<PfLoadAnchor>("pf_load_anchor_1MiB", &large, &nlohmann_pf_load_anchor,
                               &rapidjson_pf_load_anchor, &SimdjsonDom::pf_load_anchor,
                               &SimdjsonOnDemand::pf_load_anchor);
  benchmark::RegisterBenchmark("decode/pf_load_anchor_1MiB/memcpy", copy_only);
  const std::string paired = "paired/decode/pf_load_anchor_1MiB/ours_vs_";
  benchmark::RegisterBenchmark((paired + "rapidjson").c_str(), [](benchmark::State& state) {
    paired_with(state, [] { return rapidjson_pf_load_anchor(large().body, false); });
  });
  benchmark::RegisterBenchmark((paired + "simdjson_ondemand").c_str(), [](benchmark::State& state) {
    SimdjsonOnDemand parser;
    paired_with(state, [&parser] { return parser.pf_load_anchor(large().padded.view()); });
  });
  benchmark::RegisterBenchmark((paired + "simdjson_dom").c_str(), [](benchmark::State& state) {
    SimdjsonDom parser;
    paired_with(state, [&parser] { return parser.pf_load_anchor(large().padded.view()); });
  });
  register_group<IfconfigSet>("ifconfig_set", &small, &nlohmann_ifconfig_set,
                              &rapidjson_ifconfig_set, &SimdjsonDom::ifconfig_set,
                              &SimdjsonOnDemand::ifconfig_set);
}

}  // namespace pelmor_bench
