# CTest reads this after the discovered tests (tests/CMakeLists.txt): the tests that take
# longest, longest first, start before the others. A name no longer found is ignored.
# (protocol_doc.python_client, registered in tests/CMakeLists.txt, gets its COST there.)
set(cost 1000)
foreach(test
    HptInterop.SoakTossingWhileClientsPostAndDeleteEndsWithTosserServerAndBaseInAgreement
    ReadmePath.RefusalsAndFailuresSayWhyAndExitNonZero
    Loop.SilentDrippingAndNonReadingClientsCostTheOthersNothing
    Loop.DeadlinesCloseClientsThatOverstay
    LZW12.SameStreamAsTheTreeCoder
    LoadAndFaults.MemoryStaysFlatOverThousandsOfRequests
    FailedLogins.DelayDoublesPerAddressAndAGoodLoginStillSucceedsAndResetsIt
    Attacks.ACrowdOfNetworksCannotKeepARealUserOut
    LZW12Reference.RealCrcCollisionsKeepThePureStream)
  set_tests_properties(${test} PROPERTIES COST ${cost})
  math(EXPR cost "${cost} - 10")
endforeach()
# The soak keeps the tosser, the server and three clients busy at once: CTest counts it as
# two of the tests it runs at once, so that the others leave it room.
set_tests_properties(
  HptInterop.SoakTossingWhileClientsPostAndDeleteEndsWithTosserServerAndBaseInAgreement
  PROPERTIES PROCESSORS 2)
