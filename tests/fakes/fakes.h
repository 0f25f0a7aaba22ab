// The fakes of the platform's services, for tests of the code that calls
// them. Link vorn_fakes (and, for the address book, depend on
// vorn_fake_wab_modules so its libraries are built).
//
//   fake_env.h          FakeEnv: the shared FaultInjector and CallLog, and the
//                       home of every fake object (declare it first)
//   fault_injector.h    fail call N of method M (or of any method), once or
//                       from then on, with any status
//   call_log.h          every call with its arguments as passed; reference
//                       counts, release order and misuse of every object
//   fake_store.h        FakeStore: folders and messages behind
//                       IStoreNamespace / IStoreFolder / IStream
//   fake_mime.h         FakeMimeModel: described messages behind IMimeMessage,
//                       IMimeBody, IMimePropertySet, data streams, allocator
//   fake_address_book.h FakeAddressBook behind IAddrBook, IWABObject,
//                       IABContainer, IMAPITable; FakeWabModule puts its
//                       library where the session looks for it
//   scripted_stream.h   streams whose reads follow a script
//   class_factory.h     ClassRegistration: a fake's class under its CLSID
//   forwarding.h        wrappers that forward every call, to override one
//   fault_sweep.h       SweepFaults / SweepFaultsFresh: fail call N until
//                       nothing fails
//   contract/*.h        the contract suite of each service
//
// A typical fixture for the logic:
//
//   vorn_fakes::FakeEnv env;
//   vorn_fakes::FakeMimeModel mime{env};
//   vorn_fakes::FakeStore store{env, &mime};
//   vorn_fakes::FakeAddressBook book{env};
//   vorn_fakes::ClassRegistration storeClass = store.Register();
//   vorn_fakes::ClassRegistration mimeClass = mime.RegisterAllocator();
//   vorn_fakes::FakeWabModule wab{&book};
//   CMailStore mail;   // declared last, so it ends first
//
// and at the end of a test:
//
//   EXPECT_THAT(env.log.Errors(), IsEmpty());
//   EXPECT_EQ(store.OutstandingStrings(), 0);
//   EXPECT_EQ(store.OpenEnumerations(), 0);
//   EXPECT_EQ(book.BuffersFreed(), book.BuffersHandedOut());
#pragma once

#include "tests/fakes/call_log.h"
#include "tests/fakes/class_factory.h"
#include "tests/fakes/fake_address_book.h"
#include "tests/fakes/fake_env.h"
#include "tests/fakes/fake_mime.h"
#include "tests/fakes/fake_store.h"
#include "tests/fakes/fault_injector.h"
#include "tests/fakes/fault_sweep.h"
#include "tests/fakes/forwarding.h"
#include "tests/fakes/scripted_stream.h"
