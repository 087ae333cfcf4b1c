// The account of files moving through the stages of content reading, for the balance
// at the end of a search: every file a stage takes in it gives out (to the next stage,
// back to an earlier one, or as an outcome) or still holds as its outcome at the end
// (a file of a size no other file has, a file whose fingerprint matched none, a
// reference no other file equalled). A stage whose account does not close lost a file,
// or gave one out twice; the check names it.
//
// The pipeline counts under its lock; the check runs once its workers have stopped.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace merravine {

enum class Stage : uint8_t { Sizes, FirstReads, Fingerprints, Comparison };
inline constexpr size_t kStageCount = 4;

/// The stage's name as the log says it.
const char* StageName(Stage stage);

class StageBalance {
  public:
    using Counts = std::array<uint64_t, kStageCount>;

    void In(Stage stage) { ++in_[static_cast<size_t>(stage)]; }
    void Out(Stage stage) { ++out_[static_cast<size_t>(stage)]; }
    /// A file handed from one stage to the next.
    void Move(Stage from, Stage to) {
        Out(from);
        In(to);
    }
    uint64_t TakenIn(Stage stage) const { return in_[static_cast<size_t>(stage)]; }
    uint64_t GivenOut(Stage stage) const { return out_[static_cast<size_t>(stage)]; }

    /// Compares each stage's account with `held`, the files each stage holds at the end,
    /// and logs an error naming every stage whose account does not close. Returns the
    /// files missing or counted twice over all stages.
    uint32_t Check(const Counts& held) const;

  private:
    Counts in_{};
    Counts out_{};
};

}  // namespace merravine
