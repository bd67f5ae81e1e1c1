// Deep copy, destruction and comparison of Result/Value trees without recursion.
//
// Results hold Dicts of Values, Values hold Results, Dicts and arrays of
// Values, and element trees nest as deeply as the input does. The member-wise
// defaults would recurse once per level, so all three operations here keep
// their own stack of pending work instead:
//  1. Copying first makes a shallow "shell" of each node (containers sized,
//     leaves copied) and queues one task per nested node to fill in.
//  2. Destruction moves nested nodes out of a dying node onto a thread-local
//     stack before the node itself goes, so no destructor ever finds deep
//     content below it.
//  3. Comparison walks pairs of nodes from a stack.
#include <utility>

#include "types/value.hpp"

namespace quillet {

struct TreeOps {
  // ---- copying ----
  struct Task {
    const Value* vsrc = nullptr;
    Value* vdst = nullptr;
    const Result* rsrc = nullptr;
    Result* rdst = nullptr;
  };

  // Gives `into` the layout and key of `src`, with one task per value.
  static void dict_shell(const Dict& src, Dict& into, std::vector<Task>& tasks) {
    into.k0_ = src.k0_;
    into.k1_ = src.k1_;
    into.table_ = src.table_;
    // entries_ must not reallocate once tasks point into it: size it once.
    into.entries_.clear();
    into.entries_.resize(src.entries_.size());
    for (std::size_t i = 0; i < src.entries_.size(); ++i) {
      into.entries_[i].name = src.entries_[i].name;
      into.entries_[i].hash = src.entries_[i].hash;
      tasks.push_back({&src.entries_[i].value, &into.entries_[i].value, nullptr, nullptr});
    }
  }

  static void shell_result(const Result& src, Result& dst, std::vector<Task>& tasks) {
    dst.detector = src.detector;
    dst.text = src.text;
    if (src.attributes) {
      dst.attributes.emplace(Dict::NoKey{});
      dict_shell(*src.attributes, *dst.attributes, tasks);
    } else {
      dst.attributes.reset();
    }
    if (src.children) {
      dst.children.emplace(src.children->size());
      for (std::size_t i = 0; i < src.children->size(); ++i)
        tasks.push_back({nullptr, nullptr, &(*src.children)[i], &(*dst.children)[i]});
    } else {
      dst.children.reset();
    }
  }

  static void shell_value(const Value& src, Value& dst, std::vector<Task>& tasks) {
    switch (src.kind()) {
      case Value::Kind::Result: {
        Result& r = dst.data.emplace<Result>();
        tasks.push_back({nullptr, nullptr, &std::get<Result>(src.data), &r});
        break;
      }
      case Value::Kind::Properties: {
        Dict& d = dst.data.emplace<Dict>(Dict::NoKey{});
        dict_shell(std::get<Dict>(src.data), d, tasks);
        break;
      }
      case Value::Kind::Array: {
        const auto& a = std::get<Value::Array>(src.data);
        auto& out = dst.data.emplace<Value::Array>(a.size());
        for (std::size_t i = 0; i < a.size(); ++i) tasks.push_back({&a[i], &out[i], nullptr, nullptr});
        break;
      }
      default:
        dst.data = src.data;  // a leaf: no nested nodes
        break;
    }
  }

  static void run(std::vector<Task>& tasks) {
    while (!tasks.empty()) {
      const Task t = tasks.back();
      tasks.pop_back();
      if (t.rsrc) {
        shell_result(*t.rsrc, *t.rdst, tasks);
      } else {
        shell_value(*t.vsrc, *t.vdst, tasks);
      }
    }
  }

  // ---- destruction ----
  static thread_local std::vector<Value>* pending;  // the stack of the teardown in progress
  static thread_local bool recursive;                // fall back to plain recursion (out of memory)

  static void push(Value&& v) {
    try {
      pending->push_back(std::move(v));
    } catch (...) {
      // No memory for the stack: destroy this subtree the recursive way.
      const bool was = recursive;
      recursive = true;
      { Value doomed(std::move(v)); }
      recursive = was;
    }
  }

  // Moves every nested node out of `v`, leaving only leaves behind.
  static void strip_result(Result& r) {
    if (r.children) {
      for (Result& c : *r.children)
        if (c.has_nested()) push(Value(std::move(c)));
      r.children->clear();
    }
    if (r.attributes) {
      r.attributes->drain_values([](Value&& v) {
        if (v.has_nested()) push(std::move(v));
      });
      r.attributes.reset();
    }
  }

  static void strip(Value& v) {
    switch (v.kind()) {
      case Value::Kind::Result:
        strip_result(std::get<Result>(v.data));
        break;
      case Value::Kind::Properties: {
        Dict& d = std::get<Dict>(v.data);
        d.drain_values([](Value&& x) {
          if (x.has_nested()) push(std::move(x));
        });
        d.entries_.clear();
        d.table_.clear();
        break;
      }
      case Value::Kind::Array: {
        auto& a = std::get<Value::Array>(v.data);
        for (Value& x : a)
          if (x.has_nested()) push(std::move(x));
        a.clear();
        break;
      }
      default:
        break;
    }
  }

  static void dispose(Value&& v) noexcept {
    if (pending) {
      push(std::move(v));
      return;
    }
    std::vector<Value> stack;
    pending = &stack;
    push(std::move(v));
    while (!stack.empty()) {
      Value cur = std::move(stack.back());
      stack.pop_back();
      strip(cur);
    }
    pending = nullptr;
  }

  // ---- comparison ----
  using ValuePairs = std::vector<std::pair<const Value*, const Value*>>;
  using ResultPairs = std::vector<std::pair<const Result*, const Result*>>;

  static bool equal(ValuePairs values, ResultPairs results) {
    auto dicts_match = [&](const Dict& x, const Dict& y) {
      if (x.size() != y.size()) return false;
      for (const auto& e : x.entries_) {
        const Value* other = y.find(e.name);
        if (!other) return false;
        values.push_back({&e.value, other});
      }
      return true;
    };
    while (!values.empty() || !results.empty()) {
      if (!results.empty()) {
        auto [x, y] = results.back();
        results.pop_back();
        if (!(x->detector == y->detector) || x->text != y->text) return false;
        if (x->attributes.has_value() != y->attributes.has_value()) return false;
        if (x->attributes && !dicts_match(*x->attributes, *y->attributes)) return false;
        if (x->children.has_value() != y->children.has_value()) return false;
        if (x->children) {
          if (x->children->size() != y->children->size()) return false;
          for (std::size_t i = 0; i < x->children->size(); ++i)
            results.push_back({&(*x->children)[i], &(*y->children)[i]});
        }
        continue;
      }
      auto [x, y] = values.back();
      values.pop_back();
      if (x->kind() != y->kind()) return false;
      switch (x->kind()) {
        case Value::Kind::Result:
          results.push_back({&std::get<Result>(x->data), &std::get<Result>(y->data)});
          break;
        case Value::Kind::Properties:
          if (!dicts_match(std::get<Dict>(x->data), std::get<Dict>(y->data))) return false;
          break;
        case Value::Kind::Array: {
          const auto& p = std::get<Value::Array>(x->data);
          const auto& q = std::get<Value::Array>(y->data);
          if (p.size() != q.size()) return false;
          for (std::size_t i = 0; i < p.size(); ++i) values.push_back({&p[i], &q[i]});
          break;
        }
        default:
          if (!(x->data == y->data)) return false;
      }
    }
    return true;
  }
};

thread_local std::vector<Value>* TreeOps::pending = nullptr;
thread_local bool TreeOps::recursive = false;

// ---- Value ----

Value::Value(const Value& other) {
  std::vector<TreeOps::Task> tasks;
  TreeOps::shell_value(other, *this, tasks);
  TreeOps::run(tasks);
}

Value::~Value() {
  if (!TreeOps::recursive && has_nested()) TreeOps::dispose(std::move(*this));
}

bool operator==(const Value& a, const Value& b) { return TreeOps::equal({{&a, &b}}, {}); }

// ---- Result ----

Result::Result() = default;

Result::Result(Detector d, std::optional<Chars> t, std::optional<Dict> a,
               std::optional<std::vector<Result>> c)
    : detector(std::move(d)), text(std::move(t)), attributes(std::move(a)), children(std::move(c)) {}

Result::Result(const Result& other) {
  std::vector<TreeOps::Task> tasks;
  TreeOps::shell_result(other, *this, tasks);
  TreeOps::run(tasks);
}

Result::Result(Result&&) noexcept = default;
Result& Result::operator=(Result&&) noexcept = default;

Result& Result::operator=(const Result& other) {
  if (this != &other) *this = Result(other);
  return *this;
}

Result::~Result() {
  if (!TreeOps::recursive && has_nested()) TreeOps::dispose(Value(std::move(*this)));
}

bool Result::has_nested() const {
  return (children && !children->empty()) || (attributes && !attributes->empty());
}

Result Result::text_run(Chars t) { return Result(PlainText{}, std::move(t)); }

bool operator==(const Result& a, const Result& b) { return TreeOps::equal({}, {{&a, &b}}); }

// ---- Dict ----

Dict::Dict(NoKey) {}

Dict::Dict(const Dict& other) {
  std::vector<TreeOps::Task> tasks;
  TreeOps::dict_shell(other, *this, tasks);
  TreeOps::run(tasks);
}

bool operator==(const Dict& a, const Dict& b) {
  if (a.size() != b.size()) return false;
  TreeOps::ValuePairs pairs;
  for (const auto& e : a.entries_) {
    const Value* other = b.find(e.name);
    if (!other) return false;
    pairs.push_back({&e.value, other});
  }
  return TreeOps::equal(std::move(pairs), {});
}

}  // namespace quillet
