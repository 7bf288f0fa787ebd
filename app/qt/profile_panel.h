#pragma once

#include <QWidget>
#include <optional>

#include "app/match_profile.h"

namespace tavrel {

// Plots a pixel's match profile: L0 and each current curve along the
// disparity axis, older curves paler, the chosen peak and its sub-pixel
// position marked, with a line of text naming the pixel and the peak.
class ProfilePanel : public QWidget {
 public:
  explicit ProfilePanel(QWidget* parent = nullptr);

  void SetProfile(const std::optional<MatchProfile>& profile);
  const std::optional<MatchProfile>& profile() const { return profile_; }
  // The line above the plot.
  QString summary() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::optional<MatchProfile> profile_;
};

}  // namespace tavrel
