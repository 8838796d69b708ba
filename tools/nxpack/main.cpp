// nxpack: the update-server tool. `build` makes or extends a server folder
// from a folder of files, `verify` checks one the way a handset reads it,
// `keygen` makes the key pair that signs the index, `sources` writes a
// source list on its own. Exit status: 0 done, 1 failed (or faults found),
// 2 usage error.
#include <CLI/CLI.hpp>
#include <iostream>

#include "nxpack.h"

int main(int argc, char** argv) {
  CLI::App app{"nxpack: build and verify update-server folders"};
  app.require_subcommand(1);

  nxpack::BuildOptions b;
  int type = 0, sequence = 0, revision = 0;
  std::string signKey;
  auto* build = app.add_subcommand("build", "add a package made of every file of FILES_DIR to SERVER_DIR");
  build->add_option("FILES_DIR", b.filesDir, "folder of the files to install (with their scanver.cnf)")->required();
  build->add_option("-o,--output", b.serverDir, "server folder (created, or extended when it holds an index)")
      ->required();
  auto* typeOpt = build->add_option("--type", type, "package type 100-106 (default: 106 with modules or a new "
                                                    "engine version, else 100)");
  auto* seqOpt = build->add_option("--sequence", sequence, "sequence number 0-255 (default: next free for the type)");
  auto* revOpt = build->add_option("--revision", revision, "index.bin revision 0-255 (default: one more than the "
                                                          "folder's, 1 in a new folder)");
  build->add_option("--url", b.urls, "base address written into httpdn.dat (may be given more than once)");
  auto* signOpt = build->add_option("--sign", signKey, "Ed25519 private key (PEM) that signs index.sig");
  build->add_flag("--store", b.store, "store the files without compressing them");

  std::string verifyDir, publicKey;
  auto* verify = app.add_subcommand("verify", "check a server folder");
  verify->add_option("DIR", verifyDir, "server folder")->required();
  auto* keyOpt = verify->add_option("--key", publicKey, "Ed25519 public key (PEM) the signature must verify with");

  std::string keyDir;
  auto* keygen = app.add_subcommand("keygen", "make an Ed25519 key pair: DIR/update.key and DIR/update.pub");
  keygen->add_option("-o,--output", keyDir, "folder for the key files")->required();

  std::vector<std::string> urls;
  std::string sourcesFile;
  auto* sources = app.add_subcommand("sources", "write a source list httpdn.dat");
  sources->add_option("--url", urls, "base address (may be given more than once)")->required();
  sources->add_option("-o,--output", sourcesFile, "file to write")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return 2;
  }

  try {
    if (*build) {
      if (*typeOpt) b.type = type;
      if (*seqOpt) b.sequence = sequence;
      if (*revOpt) b.revision = revision;
      if (*signOpt) b.signKey = signKey;
      nxpack::build(b, std::cout);
    } else if (*verify) {
      std::optional<std::string> key;
      if (*keyOpt) key = publicKey;
      return nxpack::verify(verifyDir, key, std::cout, std::cerr) == 0 ? 0 : 1;
    } else if (*keygen) {
      nxpack::keygen(keyDir, std::cout);
    } else if (*sources) {
      nxpack::writeSources(urls, sourcesFile, std::cout);
    }
  } catch (const nxpack::UsageError& e) {
    std::cerr << "nxpack: " << e.what() << "\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "nxpack: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
