// The frame effects of the batch's rows, drawn by the conversion hook.
#pragma once

#include <vector>

#include "effects/row_effects.h"
#include "media/bitmap.h"
#include "settings/files_record.h"

namespace zelvo {

// The effects' view of a row.
RowEffects EffectsOf(const LvFilesRecord& row);
inline bool RowHasEffects(const LvFilesRecord& row) { return EffectsOf(row).HasEffects(); }

// Draws task i's row onto its frames. Called in the worker threads; the rows
// are fixed before the run starts.
class EffectsDrawer {
 public:
  explicit EffectsDrawer(const std::vector<LvFilesRecord>& rows);
  void Draw(int taskIndex, Bitmap& picture) const;

 private:
  std::vector<RowEffects> rows_;
};

}  // namespace zelvo
