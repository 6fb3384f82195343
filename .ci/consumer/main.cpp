// Opens an archive that does not exist and checks that the error says so.
#include <cstdio>

#include <marrowvane_dat/dat_database.hpp>

int main() {
  auto database = marrowvane_dat::DatDatabase::open("/nonexistent/portal.dat");
  if (database || database.error().kind() != marrowvane_dat::DatErrorKind::PathError) {
    std::puts("expected a PathError");
    return 1;
  }
  std::printf("consumer ok: %s\n", database.error().to_string().c_str());
  return 0;
}
