// The scripting runtime's speed on three programs, each encoded as a program message, decoded and
// run as the engine runs it (within the per-event instruction budget, the budget reset before
// each run):
//   loop   a counting loop of 50,000 iterations;
//   fib    recursive fib(20), 21,891 calls;
//   calls  a loop of 50,000 calls of a one-line function.
// When Duktape and Lua 5.4 are installed, the same programs run in them in the same process, and
// the program prints our rate divided by theirs for each (goal: at least 1.0 against Duktape).
// A loop that matches a regular expression at each step shows what the pattern cache saves.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "analytics/proto/field_accessors.h"
#include "analytics/proto/generated/apmpb_messages.h"
#include "analytics/script/commands.h"
#include "analytics/script/runtime.h"
#include "analytics/script/runtime_value.h"
#include "bench/bench_main.h"
#include "bench/bench_ratio.h"
#include "platform/foundation/text.h"

#if QUELLMARK_HAVE_DUKTAPE
#include <duktape.h>
#endif
#if QUELLMARK_HAVE_LUA54
extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}
#endif

namespace {

using Entity = std::shared_ptr<APMPBRuntimeEntity>;

// Program trees, built as the server's compiler would emit them.
Entity Make(int32_t type) {
  Entity entity = APMPBRuntimeEntity::initWithMessageInfo(nullptr);
  NANOSetInt32(entity.get(), APMPBRuntimeEntity::kType, type);
  return entity;
}
Entity S(const std::string& text) {
  Entity entity = Make(1);
  NANOSetString(entity.get(), APMPBRuntimeEntity::kTag4String, fnd::Value(text));
  return entity;
}
Entity N(double value) {
  Entity entity = Make(2);
  NANOSetDouble(entity.get(), APMPBRuntimeEntity::kNumberValue, value);
  return entity;
}
Entity B(bool value) {
  Entity entity = Make(3);
  NANOSetBool(entity.get(), APMPBRuntimeEntity::kBoolValue, value ? 1 : 0);
  return entity;
}
Entity C(std::u16string_view code, const std::vector<Entity>& arguments) {
  Entity entity = Make(4);
  NANOSetString(entity.get(), APMPBRuntimeEntity::kStringValue,
                fnd::Value(fnd::FromUTF16(std::u16string(code))));
  fnd::Array children;
  for (const auto& argument : arguments)
    children.emplace_back(std::shared_ptr<fnd::Record>(argument));
  NANOSetArray(entity.get(), APMPBRuntimeEntity::kChildren, &children);
  return entity;
}
Entity Get(const std::string& name) { return C(APMPCommandGet, {S(name)}); }
Entity Assign(const std::string& name, Entity value) {
  return C(APMPCommandAssign, {S(name), std::move(value)});
}
Entity Var(const std::string& name) { return C(APMPCommandVar, {S(name)}); }
Entity Call(const std::string& name, const std::vector<Entity>& arguments) {
  return C(fnd::ToUTF16(name), arguments);
}

// The statements through the wire: encoded as a program message and decoded again.
std::vector<Entity> Wire(const std::vector<Entity>& statements) {
  auto program = APMPBProgram::initWithMessageInfo(nullptr);
  fnd::Array entities;
  for (const auto& statement : statements)
    entities.emplace_back(std::shared_ptr<fnd::Record>(statement));
  NANOSetArray(program.get(), APMPBProgram::kEntities, &entities);
  auto decoded = APMPBProgram::initWithBuffer(*program->protoBuffer());
  std::vector<Entity> result;
  for (const auto& item :
       NANOGetArray(decoded.get(), APMPBProgram::kEntities, &APMPBRuntimeEntity::messageClass())
           .value_or(fnd::Array())) {
    result.push_back(item.recordAs<APMPBRuntimeEntity>());
  }
  return result;
}

constexpr int kLoop = 50000;
constexpr int kFib = 20;
constexpr int kFibCalls = 21891;
constexpr int kCalls = 50000;

// while (i < n) { i = i + 1; }
std::vector<Entity> LoopProgram() {
  return {Var("i"), Assign("i", N(0)),
          C(APMPCommandWhile,
            {C(APMPCommandLessThan, {Get("i"), N(kLoop)}),
             Assign("i", C(APMPCommandAdd, {Get("i"), N(1)})), B(false), C(APMPCommandQuote, {})})};
}

// function fib(n) { if (n < 2) return n; return fib(n - 1) + fib(n - 2); } fib(20)
std::vector<Entity> FibProgram() {
  Entity body = C(APMPCommandIf, {C(APMPCommandLessThan, {Get("n"), N(2)}),
                                  C(APMPCommandQuote, {C(APMPCommandReturn, {Get("n")})})});
  Entity result = C(APMPCommandReturn,
                    {C(APMPCommandAdd, {Call("fib", {C(APMPCommandSubtract, {Get("n"), N(1)})}),
                                        Call("fib", {C(APMPCommandSubtract, {Get("n"), N(2)})})})});
  return {
      C(APMPCommandDefineFunction, {S("fib"), C(APMPCommandCreateArray, {S("n")}), body, result}),
      Call("fib", {N(kFib)})};
}

// function f(x) { return x; } while (i < n) { f(i); i = i + 1; }
std::vector<Entity> CallProgram() {
  return {C(APMPCommandDefineFunction,
            {S("f"), C(APMPCommandCreateArray, {S("x")}), C(APMPCommandReturn, {Get("x")})}),
          Var("i"), Assign("i", N(0)),
          C(APMPCommandWhile, {C(APMPCommandLessThan, {Get("i"), N(kCalls)}),
                               Assign("i", C(APMPCommandAdd, {Get("i"), N(1)})), B(false),
                               C(APMPCommandQuote, {Call("f", {Get("i")})})})};
}

// var t = "aaaa...b"; while (i < n) { t.match("a+b"); i = i + 1; }
constexpr int kMatches = 5000;
std::vector<Entity> MatchProgram() {
  return {
      Var("t"), Assign("t", S(std::string(64, 'a') + "b")), Var("i"), Assign("i", N(0)),
      C(APMPCommandWhile,
        {C(APMPCommandLessThan, {Get("i"), N(kMatches)}),
         Assign("i", C(APMPCommandAdd, {Get("i"), N(1)})), B(false),
         C(APMPCommandQuote,
           {C(APMPCommandApply, {Get("t"), S("match"), C(APMPCommandCreateArray, {S("a+b")})})})})};
}

// Work per second of each benchmark, measured in the thread's CPU time around its timed loop (the
// ratios stay meaningful on a machine that other work keeps busy). Google Benchmark first runs a
// benchmark with growing iteration counts to find how many it needs; only the runs with the final
// count are measured ones, and with --benchmark_repetitions the ratio uses their median rate.
struct Run {
  benchmark::IterationCount iterations;
  double rate;
};
std::map<std::string, std::vector<Run>> g_runs;

double MeasuredRate(const std::string& key) {
  auto it = g_runs.find(key);
  if (it == g_runs.end() || it->second.empty()) return 0;
  benchmark::IterationCount final = 0;
  for (const Run& run : it->second) final = std::max(final, run.iterations);
  std::vector<double> rates;
  for (const Run& run : it->second) {
    if (run.iterations == final) rates.push_back(run.rate);
  }
  std::sort(rates.begin(), rates.end());
  const size_t n = rates.size();
  return n % 2 ? rates[n / 2] : (rates[n / 2 - 1] + rates[n / 2]) / 2;
}

class RateTimer {
 public:
  RateTimer() : start_(bench::ThreadCpuSeconds()) {}
  void record(benchmark::State& state, double work, const char* key) const {
    const double seconds = bench::ThreadCpuSeconds() - start_;
    const double done = static_cast<double>(state.iterations()) * work;
    state.counters["per_second"] = benchmark::Counter(done, benchmark::Counter::kIsRate);
    if (seconds > 0) g_runs[key].push_back(Run{state.iterations(), done / seconds});
  }

 private:
  double start_;
};

void RunOurs(benchmark::State& state, const std::vector<Entity>& program, double work,
             const char* key) {
  const std::vector<Entity> wired = Wire(program);
  RateTimer timer;
  for (auto _ : state) {
    APMPRuntime runtime;
    APMPError error;
    APMPValueRef result = runtime.executeStatements(wired, &error);
    if (error) {
      state.SkipWithError(("script failed: " + error->description()).c_str());
      return;
    }
    benchmark::DoNotOptimize(result.get());
  }
  timer.record(state, work, key);
}

void BM_ScriptLoop(benchmark::State& state) { RunOurs(state, LoopProgram(), kLoop, "ours loop"); }
void BM_ScriptFib(benchmark::State& state) { RunOurs(state, FibProgram(), kFibCalls, "ours fib"); }
void BM_ScriptCalls(benchmark::State& state) {
  RunOurs(state, CallProgram(), kCalls, "ours calls");
}
void BM_ScriptMatch(benchmark::State& state) {
  RunOurs(state, MatchProgram(), kMatches, "ours match");
}
BENCHMARK(BM_ScriptLoop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScriptFib)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScriptCalls)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScriptMatch)->Unit(benchmark::kMillisecond);

const std::string kJsLoop = "var i = 0; while (i < " + std::to_string(kLoop) + ") { i = i + 1; }";
const std::string kJsFib =
    "function fib(n) { if (n < 2) return n; return fib(n - 1) + fib(n - 2); } fib(" +
    std::to_string(kFib) + ");";
const std::string kJsCalls = "function f(x) { return x; } var i = 0; while (i < " +
                             std::to_string(kCalls) + ") { f(i); i = i + 1; }";
const std::string kLuaLoop = "local i = 0 while i < " + std::to_string(kLoop) + " do i = i + 1 end";
const std::string kLuaFib =
    "local function fib(n) if n < 2 then return n end return fib(n - 1) + fib(n - 2) end "
    "fib(" +
    std::to_string(kFib) + ")";
const std::string kLuaCalls = "local function f(x) return x end local i = 0 while i < " +
                              std::to_string(kCalls) + " do f(i) i = i + 1 end";

#if QUELLMARK_HAVE_DUKTAPE
void RunDuktape(benchmark::State& state, const std::string& source, double work, const char* key) {
  RateTimer timer;
  for (auto _ : state) {
    duk_context* context = duk_create_heap_default();
    if (duk_peval_string(context, source.c_str()) != 0) {
      state.SkipWithError("duktape failed");
      duk_destroy_heap(context);
      return;
    }
    duk_destroy_heap(context);
  }
  timer.record(state, work, key);
}
void BM_DuktapeLoop(benchmark::State& state) { RunDuktape(state, kJsLoop, kLoop, "duktape loop"); }
void BM_DuktapeFib(benchmark::State& state) { RunDuktape(state, kJsFib, kFibCalls, "duktape fib"); }
void BM_DuktapeCalls(benchmark::State& state) {
  RunDuktape(state, kJsCalls, kCalls, "duktape calls");
}
BENCHMARK(BM_DuktapeLoop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DuktapeFib)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DuktapeCalls)->Unit(benchmark::kMillisecond);
#endif

#if QUELLMARK_HAVE_LUA54
void RunLua(benchmark::State& state, const std::string& source, double work, const char* key) {
  RateTimer timer;
  for (auto _ : state) {
    lua_State* lua = luaL_newstate();
    if (luaL_dostring(lua, source.c_str()) != 0) {
      state.SkipWithError("lua failed");
      lua_close(lua);
      return;
    }
    lua_close(lua);
  }
  timer.record(state, work, key);
}
void BM_LuaLoop(benchmark::State& state) { RunLua(state, kLuaLoop, kLoop, "lua loop"); }
void BM_LuaFib(benchmark::State& state) { RunLua(state, kLuaFib, kFibCalls, "lua fib"); }
void BM_LuaCalls(benchmark::State& state) { RunLua(state, kLuaCalls, kCalls, "lua calls"); }
BENCHMARK(BM_LuaLoop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LuaFib)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LuaCalls)->Unit(benchmark::kMillisecond);
#endif

}  // namespace

int main(int argc, char** argv) {
  if (!bench::RunBenchmarks(&argc, argv)) return 1;
  auto rate = [](const std::string& key) { return MeasuredRate(key); };
  for (const char* program : {"loop", "fib", "calls"}) {
    const double ours = rate(std::string("ours ") + program);
    for (const char* other : {"duktape", "lua"}) {
      const double theirs = rate(std::string(other) + " " + program);
      if (ours > 0 && theirs > 0) {
        std::printf("%s: ours / %s = %.3f%s\n", program, other, ours / theirs,
                    std::string(other) == "duktape" ? " (goal: at least 1.0)" : "");
      }
    }
  }
#if !QUELLMARK_HAVE_DUKTAPE || !QUELLMARK_HAVE_LUA54
  std::printf("Duktape or Lua 5.4 not installed at configure time: their comparison is skipped.\n");
#endif
  return 0;
}
