#include "platform/system/LinuxUpdatePackages.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/AtomicFile.h"
#include "core/Paths.h"
#include "core/Subprocess.h"
#include "core/Text.h"

namespace tarvo::platform {
namespace {

constexpr size_t kMaxSignatureBytes = 4096;
constexpr size_t kMaxKeyBytes = 64 * 1024;

PackageError untrusted(const std::string& reason) {
    return PackageError(PackageError::Kind::untrusted, reason);
}

// The package mapped read-only for the one-shot Ed25519 check, which needs
// the whole message at once.
class MappedFile {
  public:
    explicit MappedFile(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        struct stat st {};
        if (fd_ < 0 || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))
            throw untrusted("cannot read the package");
        size_ = static_cast<size_t>(st.st_size);
        if (size_ == 0) return;
        void* data = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd_, 0);
        if (data == MAP_FAILED) throw untrusted("cannot read the package");
        data_ = static_cast<const unsigned char*>(data);
    }
    ~MappedFile() {
        if (data_) ::munmap(const_cast<unsigned char*>(data_), size_);
        if (fd_ >= 0) ::close(fd_);
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    const unsigned char* data() const {
        static const unsigned char empty = 0;
        return data_ ? data_ : &empty;
    }
    size_t size() const { return size_; }

  private:
    int fd_ = -1;
    const unsigned char* data_ = nullptr;
    size_t size_ = 0;
};

bool signedBy(const std::string& pem, const MappedFile& package, const std::string& signature) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(
        BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
    if (!bio) return false;
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
    if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) return false;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return false;
    return EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                            signature.size(), package.data(), package.size()) == 1;
}

// "Package: tarvo\nVersion: 1.2\n" as dpkg-deb -f prints the two fields.
std::string field(const std::string& fields, const std::string& name) {
    std::string_view rest = fields;
    while (!rest.empty()) {
        const size_t nl = rest.find('\n');
        const std::string_view line = rest.substr(0, nl);
        rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
        if (line.starts_with(name + ":"))
            return std::string(text::trimWhitespace(line.substr(name.size() + 1)));
    }
    return {};
}

}  // namespace

LinuxUpdatePackages::LinuxUpdatePackages(Options options) : options_(std::move(options)) {}

std::vector<std::string> LinuxUpdatePackages::trustedKeys() {
    std::vector<std::string> keys = {releaseKey()};
    const char* testKey = std::getenv("TARVO_TEST_UPDATE_KEY");
    if (testKey && *testKey && !Paths::root().empty())
        if (auto pem = readUntrustedFile(testKey, kMaxKeyBytes).data) keys.push_back(*pem);
    return keys;
}

std::string LinuxUpdatePackages::verify(const PackageFiles& files,
                                        const std::string& runningVersion) {
    if (!files.signature) throw untrusted("no detached signature offered");
    const auto signature = readUntrustedFile(*files.signature, kMaxSignatureBytes).data;
    if (!signature) throw untrusted("cannot read the detached signature");
    {
        const MappedFile package(files.package);
        bool good = false;
        for (const std::string& key : options_.keys)
            if ((good = signedBy(key, package, *signature))) break;
        if (!good) throw untrusted("signature does not match the pinned key");
    }

    // Signed by us, so the fields are ours; still, only our package, and only
    // forward: an old signed package must not take a fixed fault back in.
    ProcessOptions quiet;
    quiet.mergeStderr = true;
    const ProcessResult fields =
        runProcess(options_.dpkgDeb, {"-f", files.package, "Package", "Version"}, quiet);
    if (!fields.succeeded())
        throw untrusted("not a Debian package: " +
                        std::string(text::trimWhitespace(text::replaceInvalidUtf8(
                            fields.launched ? fields.out : fields.launchError))));
    const std::string name = field(fields.out, "Package");
    const std::string version = field(fields.out, "Version");
    if (name != "tarvo") throw untrusted("package is " + name + ", not tarvo");
    // dpkg's own order; it warns about a version it cannot read, which counts
    // as no answer.
    const ProcessResult order =
        runProcess(options_.dpkg, {"--compare-versions", version, "gt", runningVersion}, quiet);
    const std::string said(text::trimWhitespace(text::replaceInvalidUtf8(order.out)));
    if (!order.launched || !said.empty() || (order.exitStatus != 0 && order.exitStatus != 1))
        throw untrusted("package version " + version + " cannot be compared with " +
                        runningVersion + (said.empty() ? "" : ": " + said));
    if (order.exitStatus != 0)
        throw untrusted("package version " + version + " is not newer than " + runningVersion);
    return "package signature verified — Ed25519 key, tarvo " + version;
}

std::string LinuxUpdatePackages::installScript(const std::string& version,
                                               const std::string& pkg) const {
    // In a made root dpkg's own log goes there too: --root alone keeps
    // writing the machine's /var/log/dpkg.log.
    const std::string root = options_.root.empty()
                                 ? ""
                                 : " --root=" + options_.root +
                                       " --force-script-chrootless --log=" + options_.root +
                                       "/var/log/dpkg.log";
    return "#!/bin/bash\n"
           "# Detached updater — survives the daemon it replaces.\n"
           "exec >>\"" +
           Paths::updaterLog() +
           "\" 2>&1\n"
           "export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin\n"
           "echo \"[$(date -u +%FT%TZ)] applying update " +
           version +
           "\"\n"
           "\n" +
           installLogged(options_.dpkg + root + " -i \"" + pkg + "\"", version) +
           "\n"
           "rm -f \"" +
           pkg + "\" \"" + pkg + ".sig\"\n";
}

std::vector<std::string> LinuxUpdatePackages::scriptPaths() const {
    return {options_.dpkg, options_.root};
}

void LinuxUpdatePackages::start(const std::string& script, const std::string& version,
                                const HandOffLog& log) {
    const JobStart job = options_.jobs->start(jobName, {"/bin/bash", script});
    if (job.bySystemd) {
        log.info("update " + version + " submitted to systemd as " + jobName +
                 " — daemon will be restarted by the package");
        return;
    }
    if (!job.systemdFailure.empty())
        throw PackageError(PackageError::Kind::installFailed,
                           "systemd-run failed (" + job.systemdFailure + ")");
    if (!job.started)
        throw PackageError(PackageError::Kind::installFailed,
                           "cannot start the detached installer: " + job.error);
    log.info("update " + version + " handed to detached installer (fallback path)");
}

}  // namespace tarvo::platform
