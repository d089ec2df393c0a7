// delete.cc: ambercrypt-admin delete, every setting of an application (see
// command.h).
#include "ambercrypt/ambercrypt.h"
#include "tools/admin/command.h"

namespace ambercrypt::admin {

int Delete(const Options &options) {
  if (options.args.size() != 1) return UsageOf("delete");
  const std::string &app = options.args[0];
  ExportCall call;
  if (!call.Prepare(options, false)) return kExitFailure;
  return call.Finish(app, KoBioSPI_DeleteParameter(app.c_str()), app + ": settings deleted", true);
}

}  // namespace ambercrypt::admin
