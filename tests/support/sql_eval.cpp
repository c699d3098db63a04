#include "sql_eval.h"

#include <algorithm>
#include <set>
#include <variant>

namespace lumo {

namespace {

class SqlReader {
 public:
  SqlReader(std::string_view text, std::span<const SqlParam> params, std::size_t args_len,
            const std::vector<std::string>& tags)
      : t_(text), params_(params), args_len_(args_len), tags_(tags.begin(), tags.end()) {}

  std::optional<bool> run() {
    frames_.push_back(Frame{});
    while (!t_.empty()) {
      std::optional<bool> value;
      if (take("(tags @> array[$")) {
        const SqlParam* p = param();
        if (p == nullptr || !take("])")) return std::nullopt;
        const auto* tag = std::get_if<std::string_view>(p);
        if (tag == nullptr) return std::nullopt;
        value = has(*tag);
      } else if (take("(tags @> $") || take("(tags && $")) {
        const bool all = last_all_;
        const SqlParam* p = param();
        if (p == nullptr || !take(")")) return std::nullopt;
        const auto* group = std::get_if<std::vector<std::string_view>>(p);
        if (group == nullptr) return std::nullopt;
        auto held = [&](std::string_view s) { return has(s); };
        value = all ? std::all_of(group->begin(), group->end(), held)
                    : std::any_of(group->begin(), group->end(), held);
      } else if (take("true")) {
        value = true;
      } else if (take("false")) {
        value = false;
      } else if (take("(")) {
        if (!frames_.back().wants_operand) return std::nullopt;
        frames_.push_back(Frame{});
        continue;
      } else if (take(")")) {
        if (frames_.size() < 2 || frames_.back().wants_operand) return std::nullopt;
        value = frames_.back().value();
        frames_.pop_back();
      } else if (take(" and ") || take(" or ")) {
        Frame& f = frames_.back();
        if (f.wants_operand) return std::nullopt;
        if (!last_and_) {
          f.any = f.any || f.all;
          f.all = true;
        }
        f.wants_operand = true;
        continue;
      } else {
        return std::nullopt;
      }
      Frame& f = frames_.back();
      if (!f.wants_operand) return std::nullopt;
      f.all = f.all && *value;
      f.wants_operand = false;
    }
    if (frames_.size() != 1 || frames_.back().wants_operand) return std::nullopt;
    return frames_.back().value();
  }

 private:
  // One parenthesised level: the "or" of the "and"-runs closed so far, and
  // the current "and"-run.
  struct Frame {
    bool any = false;
    bool all = true;
    bool wants_operand = true;
    bool value() const { return any || all; }
  };

  bool take(std::string_view piece) {
    if (!t_.starts_with(piece)) return false;
    t_.remove_prefix(piece.size());
    last_all_ = piece == "(tags @> $";
    last_and_ = piece == " and ";
    return true;
  }

  // The value a placeholder's number names.
  const SqlParam* param() {
    std::size_t n = 0;
    std::size_t digits = 0;
    while (digits < t_.size() && t_[digits] >= '0' && t_[digits] <= '9') {
      n = n * 10 + static_cast<std::size_t>(t_[digits] - '0');
      ++digits;
    }
    t_.remove_prefix(digits);
    if (digits == 0 || n <= args_len_ || n - args_len_ > params_.size()) return nullptr;
    return &params_[n - args_len_ - 1];
  }

  bool has(std::string_view tag) const { return tags_.find(tag) != tags_.end(); }

  std::string_view t_;
  std::span<const SqlParam> params_;
  std::size_t args_len_;
  std::set<std::string, std::less<>> tags_;
  std::vector<Frame> frames_;
  bool last_all_ = false;
  bool last_and_ = false;
};

}  // namespace

std::optional<bool> sql_holds(std::string_view text, std::span<const SqlParam> params,
                              std::size_t args_len, const std::vector<std::string>& tags) {
  return SqlReader(text, params, args_len, tags).run();
}

}  // namespace lumo
