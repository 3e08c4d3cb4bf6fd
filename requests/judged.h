// SPDX-License-Identifier: Apache-2.0
// The request texts as the dispatcher judged them, one type per capability. Each exists only
// where its policy allowed it (see policy/judgement.h), carries exactly the texts the act
// uses, and is made only by its judge below. The folders and the long-path expansion are the
// system's answers that the dispatcher looked up for this request. Pure.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include "base/text.h"
#include "policy/admin_policy.h"
#include "policy/judgement.h"
#include "registry/key_policy.h"
#include "requests/policy_vocabulary.h"

namespace tarnvel::requests {

// The one text a judged value carries, exactly as judged. Its constructor is open only to
// the value types below, and theirs only to their judges.
class JudgedText {
 protected:
  explicit JudgedText(Text text) : text_(std::move(text)) {}
  const Text& text() const { return text_; }

 private:
  Text text_;
};

// A plug-in data-file path inside the data folder, as carried.
class JudgedDataPath : JudgedText {
 public:
  const Text& path() const { return text(); }

 private:
  using JudgedText::JudgedText;
  friend Judgement<JudgedDataPath> JudgeDataPath(const Text& path, const Text& dataFolder);
};
Judgement<JudgedDataPath> JudgeDataPath(const Text& path, const Text& dataFolder);

// A web address or document the shell may open.
class JudgedShellTarget : JudgedText {
 public:
  const Text& target() const { return text(); }

 private:
  using JudgedText::JudgedText;
  friend Judgement<JudgedShellTarget> JudgeShellTarget(const Text& target);
};
Judgement<JudgedShellTarget> JudgeShellTarget(const Text& target);

// An http(s) address to check, with the administrator policies in force when it was judged.
class JudgedUrl : JudgedText {
 public:
  const Text& url() const { return text(); }
  // Where a redirect from this address may lead: the target, when the URL policy allows it
  // as it allowed the first address, or nothing. The check's worker meets redirects long
  // after the dispatcher answered; it asks the policy through the value it was given.
  std::optional<JudgedUrl> RedirectTo(const Text& target) const;
  // The administrator policy that refuses a redirect to `target`, or the address a request
  // actually connected to; none in audit-only mode, where policies refuse nothing.
  std::optional<policy::PolicyRefusal> AdminRefusalOfRedirect(const Text& target) const;
  // Whether a refusal of this check is recorded in the event log.
  bool Audited() const { return adminPolicy_->audit; }
  std::optional<policy::PolicyRefusal> AdminRefusalOfAddress(const Text& address) const;
  // Whether a policy in force judges the addresses reached at all.
  bool JudgesAddresses() const;

 private:
  JudgedUrl(Text url, std::shared_ptr<const policy::EffectivePolicy> adminPolicy)
      : JudgedText(std::move(url)), adminPolicy_(std::move(adminPolicy)) {}
  friend Judgement<JudgedUrl> JudgeUrl(const Text& url, std::shared_ptr<const policy::EffectivePolicy> adminPolicy);
  std::shared_ptr<const policy::EffectivePolicy> adminPolicy_;
};
// A null policy is the built-in one.
Judgement<JudgedUrl> JudgeUrl(const Text& url, std::shared_ptr<const policy::EffectivePolicy> adminPolicy = nullptr);

// A copy into the local temporary folder (copy-in) or out of it (export), on exactly the two
// paths judged (the long-path-expanded one included).
class JudgedCopy {
 public:
  const Text& source() const { return source_; }
  const Text& destination() const { return destination_; }
  // The side inside the temporary folder: the destination of a copy-in, the source of an export.
  const Text& insidePath() const { return inside_ ? destination_ : source_; }
  // The temporary folder the inside path was judged against, and the judged (normalised)
  // remainder of that path below it ("\sub\name.pdf"): where the opened file must really be.
  const Text& tempFolder() const { return tempFolder_; }
  const Text& remainderBelowTemp() const { return remainder_; }

 private:
  JudgedCopy(Text source, Text destination, Text tempFolder, bool insideIsDestination);
  friend Judgement<JudgedCopy> JudgeCopyIn(const Text& source, const Text& expandedDestination, const Text& tempFolder);
  friend Judgement<JudgedCopy> JudgeExport(const Text& expandedSource, const Text& destination, const Text& tempFolder);
  Text source_;
  Text destination_;
  Text tempFolder_;
  Text remainder_;
  bool inside_;
};
Judgement<JudgedCopy> JudgeCopyIn(const Text& source, const Text& expandedDestination, const Text& tempFolder);
Judgement<JudgedCopy> JudgeExport(const Text& expandedSource, const Text& destination, const Text& tempFolder);

}  // namespace tarnvel::requests
