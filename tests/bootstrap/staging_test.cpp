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

struct Installed {
  test::ServedRepository publisher{test::ServedRepository::two_key_root()};
  test::Release bootstrap_10 = publisher.bootstrap("bootstrap-1.0");

  Installed() {
    const test::Release launcher = publisher.launcher("launcher-1.0", "normal");
    publisher.publish(launcher, bootstrap_10);
    const auto installed = publisher.install(launcher, bootstrap_10);
    EXPECT_EQ(installed.status, 0) << installed.err;
  }
  BootstrapStageResult stage() {
    InstallationUpdates updates(publisher.data);
    updates.tuf().refresh();
    return stage_bootstrap_update(publisher.data, updates.tuf(), {});
  }
  std::size_t requests_for(const std::string& needle) const {
    std::size_t count = 0;
    for (const auto& line : publisher.nginx.access_log()) count += line.find(needle) != std::string::npos;
    return count;
  }
};

TEST(BootstrapStaging, StagesOnlyWhatIsNewAndNeverRefetchesWhatWasRejected) {
  Installed installed;
  const BootstrapPaths paths(installed.publisher.data);
  EXPECT_EQ(installed.stage().status, "current");

  const test::Release next = installed.publisher.bootstrap("bootstrap-1.1");
  installed.publisher.publish(installed.publisher.launcher("launcher-1.0b", "normal"), next);
  const BootstrapStageResult staged = installed.stage();
  EXPECT_TRUE(staged.staged);
  EXPECT_EQ(staged.status, "staged");
  EXPECT_EQ(staged.build_id, "bootstrap-1.1");
  EXPECT_EQ(read_file(paths.update_record), read_file(next.document));
  EXPECT_EQ(read_file(paths.staging / "share/release.txt"), "bootstrap-1.1");
  EXPECT_FALSE(fs::exists(paths.partial) || fs::exists(paths.downloads));

  // Pending: answered without any request, even with the repository gone.
  const std::size_t before = installed.publisher.nginx.access_log().size();
  {
    HttpsTransport nowhere("https://127.0.0.1:9/", {}, 0, nullptr);
    TufClient offline(paths.root / "native/trusted-metadata", nowhere, nowhere, default_tuf_limits, system_tuf_time);
    EXPECT_EQ(stage_bootstrap_update(paths.root, offline, {}).status, "pending");
  }
  EXPECT_EQ(installed.publisher.nginx.access_log().size(), before);

  // Rejected by a start: the same release is recognised and not staged again.
  fs::remove(paths.update_record);
  fs::remove_all(paths.staging);
  write_file(paths.rejected, digest(read_file(next.document), "sha256"));
  const BootstrapStageResult rejected = installed.stage();
  EXPECT_EQ(rejected.status, "rejected");
  EXPECT_FALSE(rejected.staged || fs::exists(paths.update_record));
}

TEST(BootstrapStaging, OversizedOrUnauthorisedReleasesAreRefusedBeforeTheirDownload) {
  Installed installed;
  // A manifest target one byte over 512 KiB.
  write_file(installed.publisher.dir / "huge.json", std::string(524289, ' '));
  installed.publisher.repo.add_target(bootstrap_manifest_target(), installed.publisher.dir / "huge.json");
  installed.publisher.repo.publish();
  EXPECT_TRELK_ERROR(installed.stage(), "size_limit", "Bootstrap update manifest exceeds 512 KiB");
  EXPECT_EQ(installed.requests_for("GET /targets/" + bootstrap_manifest_target()), 0u);

  // A manifest whose archive digest is not the one the repository signed for the archive.
  json manifest = json::parse(read_file(installed.bootstrap_10.document));
  manifest["build_id"] = "bootstrap-1.2";
  manifest["archive"]["sha256"] = std::string(64, '0');
  write_file(installed.publisher.dir / "lying.json", canonical_json(manifest));
  installed.publisher.repo.add_target(bootstrap_manifest_target(), installed.publisher.dir / "lying.json");
  installed.publisher.repo.publish();
  EXPECT_TRELK_ERROR(installed.stage(), "content_mismatch",
                     "Bootstrap archive is not authorized with its declared length and hash");
  const std::string archive_target = manifest["archive"]["target"].get<std::string>();
  EXPECT_EQ(installed.requests_for("GET /targets/" + archive_target), 0u);

  // No bootstrap release for this platform at all.
  installed.publisher.repo.remove_target(bootstrap_manifest_target());
  installed.publisher.repo.publish();
  EXPECT_EQ(installed.stage().status, "not_published");
}

}  // namespace
}  // namespace trelk
