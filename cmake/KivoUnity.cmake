# SPDX-License-Identifier: Apache-2.0
# A unity build puts a target's sources in one file, so helpers that two files
# each keep to themselves under the same name would clash. The later file of
# each such pair compiles on its own.
set(KIVO_UNITY_ALONE
  src/platform/FileReplacement.cpp      # fail
  src/platform/HomeBeneath.cpp          # fail
  src/vault/SnapshotStaging.cpp         # isSafeName
  src/categories/KeychainHandler.cpp    # wipe
  src/categories/LinuxBrowsers.cpp      # isUnder
  src/postmigration/HelperService.cpp   # failure
  src/preflight/ScanWalker.cpp          # kMaxGhostPaths
  src/app/ManagedModeCoordinator.cpp    # Kind
  cli/BashCompletion.cpp                # optionWords
  tests/support/TestMain.cpp                     # main: a GUI test brings its own
  tests/transfer/DestinationWindowTest.cpp       # DestinationFixture
  tests/transfer/PartialFoldersTest.cpp          # DestinationFixture
  tests/transfer/DestinationTransferTest.cpp     # OwnershipCorrector
  tests/transfer/FileHashSchemeIntegrationTest.cpp  # TransferConnection, Peers, Tree
  tests/transfer/HardLinkIntegrationTest.cpp     # TransferConnection
  tests/transfer/WindowIntegrationTest.cpp       # TransferConnection, Tree
  tests/preflight/ScanWalkerTest.cpp             # TreeFixture
  tests/preflight/ScannerTest.cpp                # TreeFixture
  tests/connection/SecurePairingTest.cpp         # Kind
  tests/e2e/FidelityEndToEndTest.cpp             # writeBytes
  tests/e2e/TransferEndToEndTest.cpp             # CliProcess
  tests/e2e/twohost/ManagedTwoHostTest.cpp       # kExec, kCli
  tests/e2e/LinuxHomesEndToEndTest.cpp           # machineAt
  tests/gui/ScreensTest.cpp                      # environmentIn
  tests/app/TransferOutcomeTest.cpp              # item
  tests/vault/RollbackIntegrationTest.cpp        # contents
  tests/vault/VaultIntegrationTest.cpp           # randomBytes
)

# Source properties belong to the folder whose targets use them: set them in every one.
function(kivo_unity_exclusions)
  set(dirs ${PROJECT_SOURCE_DIR})
  set(todo ${PROJECT_SOURCE_DIR})
  while(todo)
    list(POP_FRONT todo dir)
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    list(APPEND dirs ${subdirs})
    list(APPEND todo ${subdirs})
  endwhile()
  list(TRANSFORM KIVO_UNITY_ALONE PREPEND ${PROJECT_SOURCE_DIR}/ OUTPUT_VARIABLE files)
  set_source_files_properties(${files} DIRECTORY ${dirs} PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)
endfunction()
