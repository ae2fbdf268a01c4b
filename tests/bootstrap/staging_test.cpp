// Bootstrap update staging against a real repository: what it stages, and what it refuses before any
// byte of a release is downloaded.
#include "bootstrap/staging.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "bootstrap/self_update.hpp"
#include "core/digest.hpp"
#include "support/errors.hpp"
#include "support/served_repository.hpp"
#include "update/repository.hpp"

namespace trelk {
namespace {

namespace fs = std::filesystem;
using test::read_file;
using test::write_file;

TEST(BootstrapStaging, RefusesUnauthorisedReleasesUnfetchedStagesWhatIsNewAndNeverRefetchesWhatWasRejected) {
  test::ServedRepository publisher{test::ServedRepository::two_key_root()};
  const test::Release bootstrap_10 = publisher.bootstrap("bootstrap-1.0");
  const test::Release launcher_10 = publisher.launcher("launcher-1.0", "normal");
  publisher.publish(launcher_10, bootstrap_10);
  ASSERT_EQ(publisher.install(launcher_10, bootstrap_10).status, 0);
  const BootstrapPaths paths(publisher.data);
  auto stage = [&] {
    InstallationUpdates updates(publisher.data);
    updates.tuf().refresh();
    return stage_bootstrap_update(publisher.data, updates.tuf(), {});
  };
  // A manifest target one byte over 512 KiB is not even fetched.
  publisher.publish_target(bootstrap_manifest_target(), std::string(524289, ' '));
  EXPECT_TRELK_ERROR(stage(), "size_limit", "Bootstrap update manifest exceeds 512 KiB");
  EXPECT_EQ(publisher.requests("GET /targets/" + bootstrap_manifest_target()), 0u);
  // A manifest whose archive digest is not the one the repository signed for the archive.
  json lying = json::parse(read_file(bootstrap_10.document));
  lying["build_id"] = "bootstrap-1.2";
  lying["archive"]["sha256"] = std::string(64, '0');
  publisher.publish_target(bootstrap_manifest_target(), canonical_json(lying));
  EXPECT_TRELK_ERROR(stage(), "content_mismatch",
                     "Bootstrap archive is not authorized with its declared length and hash");
  EXPECT_EQ(publisher.requests("GET /targets/" + lying["archive"]["target"].get<std::string>()), 0u);
  publisher.repo.remove_target(bootstrap_manifest_target());
  publisher.repo.publish();
  EXPECT_EQ(stage().status, "not_published");

  const test::Release next = publisher.bootstrap("bootstrap-1.1");
  publisher.publish(publisher.launcher("launcher-1.0b", "normal"), next);
  EXPECT_EQ(stage().build_id, "bootstrap-1.1");  // the result document is the update cycle's
  EXPECT_FALSE(fs::exists(paths.partial) || fs::exists(paths.downloads));

  // Pending: answered without any request.
  const std::size_t before = publisher.nginx.access_log().size();
  EXPECT_EQ(stage_bootstrap_update(paths.root, InstallationUpdates(publisher.data).tuf(), {}).status, "pending");
  EXPECT_EQ(publisher.nginx.access_log().size(), before);

  // Rejected by a start: the same release is recognised and not staged again.
  fs::remove(paths.update_record);
  fs::remove_all(paths.staging);
  write_file(paths.rejected, digest(read_file(next.document), "sha256"));
  const BootstrapStageResult rejected = stage();
  EXPECT_EQ(rejected.status, "rejected");
  EXPECT_FALSE(rejected.staged || fs::exists(paths.update_record));
}

}  // namespace
}  // namespace trelk
