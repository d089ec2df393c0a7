// show.cc: ambercrypt-admin show and list, what the store holds, as the
// administration layer reads it (see command.h and admin_layer.h).
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "ambercrypt/ambercrypt.h"
#include "crypto/secure_buffer.h"
#include "crypto/wiping_allocator.h"
#include "tools/admin/certs.h"
#include "tools/admin/command.h"
#include "tools/adminlib/admin_layer.h"
#include "tools/tool_platform.h"

namespace ambercrypt::admin {

namespace {

using adminlib::Number;

// A labelled report that prints as text or JSON.
class Sheet {
 public:
  void Section(const std::string &key, const std::string &label) { sections_.push_back({key, label, {}}); }
  void Add(const std::string &key, const std::string &label, const std::string &text) {
    AddText(key, label, SecretString(text.begin(), text.end()));
  }
  // A value that may be a revealed secret: held, as every value here, in
  // strings that are wiped when the sheet goes.
  void AddText(const std::string &key, const std::string &label, const SecretString &text) {
    sections_.back().fields.push_back({key, label, JsonString(text), text});
  }
  void AddNumber(const std::string &key, const std::string &label, int64_t value) {
    const std::string number = std::to_string(value);
    const SecretString text(number.begin(), number.end());
    sections_.back().fields.push_back({key, label, text, text});
  }
  void AddBool(const std::string &key, const std::string &label, bool value) {
    sections_.back().fields.push_back({key, label, value ? "true" : "false", value ? "yes" : "no"});
  }
  void AddNull(const std::string &key, const std::string &label, const std::string &text) {
    sections_.back().fields.push_back({key, label, "null", SecretString(text.begin(), text.end())});
  }
  void Print(bool json) const {
    if (json) {
      std::printf("{");
      for (size_t s = 0; s < sections_.size(); ++s) {
        std::printf("%s%s: {", s ? ", " : "", JsonString(sections_[s].key).c_str());
        for (size_t f = 0; f < sections_[s].fields.size(); ++f) {
          const Field &field = sections_[s].fields[f];
          std::printf("%s%s: %s", f ? ", " : "", JsonString(field.key).c_str(), field.json.c_str());
        }
        std::printf("}");
      }
      std::printf("}\n");
      return;
    }
    for (const Part &s : sections_) {
      std::printf("%s\n", s.label.c_str());
      for (const Field &f : s.fields) std::printf("  %-22s %s\n", (f.label + ":").c_str(), f.text.c_str());
    }
  }

 private:
  struct Field {
    std::string key, label;
    SecretString json, text;
  };
  struct Part {
    std::string key, label;
    // A short value lives inside its Field: the buffers the vector outgrows
    // are wiped too.
    std::vector<Field, WipingAllocator<Field>> fields;
  };
  std::vector<Part> sections_;
};


// A local-time FILETIME count as the library stores it, printed as it stands.
std::string LocalTimeText(int64_t fileTime) {
  const int64_t kUnixEpochSeconds = 11644473600LL;
  time_t seconds = static_cast<time_t>(fileTime / 10000000 - kUnixEpochSeconds);
  struct tm parts {};
  if (!tools::UtcCalendar(seconds, &parts)) return "?";
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}

void AddNumber(Sheet *r, const Number &value, const std::string &key, const std::string &label) {
  if (value) r->AddNumber(key, label, *value);
  else r->AddNull(key, label, "not set");
}

// A secret as present/absent, or its text with reveal.
void AddSecret(Sheet *r, const std::string &key, const std::string &label, bool present, const SecretString &text,
               bool reveal) {
  if (!present) r->AddNull(key, label, "absent");
  else if (reveal) r->AddText(key, label, text);
  else r->Add(key, label, "present");
}

void AddCertificate(Sheet *r, const std::string &key, const std::string &label,
                    const adminlib::CertificateReadout &stored) {
  r->Section(key, label);
  r->AddBool("registered", "registered", stored.registered);
  if (!stored.registered) return;
  r->Add("serial", "serial", SerialText(stored.serial));
  CertificateInfo info;
  const bool inRoot = FindRootByIssuerSerial(stored.issuer, stored.serial, &info);
  r->AddBool("inRoot", "in \"ROOT\"", inRoot);
  if (inRoot) {
    r->Add("subject", "subject", info.subject);
    r->Add("issuer", "issuer", info.issuerText);
    r->Add("thumbprint", "thumbprint", info.thumbprint);
  }
}

void AddPolicy(Sheet *r, const std::string &key, const std::string &label, const adminlib::PolicyReadout &policy,
               bool reveal) {
  r->Section(key, label);
  AddNumber(r, policy.maxFmr, "maxFmr", "max FMR");
  AddNumber(r, policy.maxFailures, "maxFailures", "max failures");
  AddNumber(r, policy.lockMinutes, "lockMinutes", "lock minutes");
  AddNumber(r, policy.flag, "flag", "policy flag");
  AddNumber(r, policy.responseMethod, "responseMethod", "response method");
  const bool used = policy.responseMethod == static_cast<int32_t>(AMBER_RESPONSE_HMAC);
  AddSecret(r, "keyText", used ? "key text" : "key text (unused)", policy.keyTextPresent, policy.keyText, reveal);
}

void AddLockout(Sheet *r, const std::string &key, const std::string &label, const adminlib::LockoutReadout &lockout) {
  r->Section(key, label);
  if (!lockout.recorded) r->AddNull("failures", "failures", "no lockout state yet");
  else AddNumber(r, lockout.failures, "failures", "failures");
  r->AddBool("locked", "locked", lockout.locked);
  if (lockout.releaseTime && *lockout.releaseTime > 0) {
    r->Add("releaseTime", lockout.locked ? "locked until" : "last release",
           LocalTimeText(*lockout.releaseTime) + " (local time)");
  } else {
    r->AddNull("releaseTime", "release time", "none");
  }
}

std::string CipherName(int32_t algorithm) {
  if (algorithm == static_cast<int32_t>(AMBER_CALG_AES_256)) return "aes256";
  if (algorithm == static_cast<int32_t>(AMBER_CALG_3DES)) return "3des";
  return Hex32(static_cast<uint32_t>(algorithm));
}

void AddSettings(Sheet *r, const adminlib::ApplicationReadout &app, bool reveal) {
  r->Section("restriction", "restriction");
  if (app.mode) {
    r->AddNumber("mode", "mode", *app.mode);
    r->Add("modeName", "mode name", ModeName(*app.mode));
  } else {
    r->AddNull("mode", "mode", "not set");
  }
  if (app.customMask) {
    r->Add("customMask", app.mode == 5 ? "custom mask" : "custom mask (unused)",
           Hex32(static_cast<uint32_t>(*app.customMask)));
  } else {
    r->AddNull("customMask", "custom mask", "not set");
  }

  r->Section("secretKey", "secret key");
  r->AddBool("set", "set", app.secretKeySet);
  if (app.cipher) r->Add("cipher", "cipher", CipherName(*app.cipher));
  else r->AddNull("cipher", "cipher", "not set");
  SecretString key = app.secretKey;
  if (key.size() == 31) key += " (stored padded with '0' to 31 characters)";
  AddSecret(r, "key", "key", app.secretKeyPresent, key, reveal);

  AddPolicy(r, "verifyPolicy", "verify policy", app.verify, reveal);
  AddPolicy(r, "identifyPolicy", "identify policy", app.identify, reveal);
  AddCertificate(r, "signingCertificate", "BIR-signing certificate", app.signing);
  AddCertificate(r, "endUserCertificate", "end-user certificate", app.endUser);
  AddLockout(r, "verifyLockout", "verify lockout", app.verifyLockout);
  AddLockout(r, "identifyLockout", "identify lockout", app.identifyLockout);
}

}  // namespace

int Show(const Options &options) {
  if (options.args.size() != 1) return UsageOf("show");
  const std::string &name = options.args[0];
  const adminlib::Installation here = adminlib::ReadInstallation();
  if (!here.passwordDigest) return Fail(adminlib::WhyNoInstallation(here));
  if (options.reveal) {
    CSecureBuffer password;
    if (!AdminPassword(options, &password)) return kExitFailure;
    const uint32_t admitted = adminlib::AdmitAdministrator(Text(password));
    if (admitted != AMBER_OK) return Report(admitted, "");
  }
  adminlib::ApplicationReadout app;
  switch (adminlib::ReadApplication(name, options.reveal, &app)) {
    case adminlib::ReadResult::kNoAppKey: return Report(AMBER_ERROR_FLAG | AMBER_E_BAD_APPLICATION_NAME, "");
    case adminlib::ReadResult::kNoKeyMaterial: return Fail("the installation number cannot be read");
    case adminlib::ReadResult::kRead: break;
  }
  Sheet r;
  r.Section("application", "application");
  r.Add("name", "name", name);
  r.Add("appKey", "AppKey", app.appKey);
  r.AddBool("present", "settings stored", app.present);
  if (!app.present) {
    r.Print(options.json);
    return Fail(name + ": no settings stored for this application");
  }
  // A reader that may not write the store says nothing of the index.
  adminlib::RememberName(name);
  AddSettings(&r, app, options.reveal);
  // A read the store failed to answer: the sheet would show a default ("not
  // set", "locked: no") that may be false, so it is not shown at all.
  if (app.storeFailed) {
    const std::string refusal = adminlib::StoreRefusalText(here.store);
    return Fail(name + ": the store cannot be read" + (refusal.empty() ? std::string() : " (" + refusal + ")") +
                "; nothing shown");
  }
  r.Print(options.json);
  return 0;
}

int List(const Options &options) {
  if (!options.args.empty()) return UsageOf("list");
  const adminlib::Installation here = adminlib::ReadInstallation();
  if (!here.passwordDigest && here.applications.empty()) return Fail(adminlib::WhyNoInstallation(here));
  if (options.json) std::printf("[");
  bool first = true;
  for (const std::string &appKey : here.applications) {
    const std::string name = adminlib::IndexedName(appKey);
    if (options.json) {
      std::printf("%s{\"appKey\": %s, \"name\": %s}", first ? "" : ", ", JsonString(appKey).c_str(),
                  name.empty() ? "null" : JsonString(name).c_str());
    } else {
      std::printf("%s  %s\n", appKey.c_str(), name.empty() ? "(unnamed)" : name.c_str());
    }
    first = false;
  }
  if (options.json) std::printf("]\n");
  return 0;
}

}  // namespace ambercrypt::admin
