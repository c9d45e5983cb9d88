// The line that both softphone engines share: which call each operation takes, who is held
// for whom, the consultation, the softkeys, and the LineUpdates it sends.
#include "softphone-server/Line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quvo::server {
namespace {

// Calls that do at once what they are asked, and say so.
class FakeCalls : public LineBackend {
  public:
    Line* line = nullptr;
    std::vector<std::string> done;
    bool deferReferral = false;

    void CheckDestination(const std::string& destination) override {
        if (destination.empty()) throw LineFailure("no destination");
    }
    int32_t Dial(const std::string& destination) override {
        LineCall& call = line->Add(destination, true);
        line->Show(call, kTsRingOut);
        done.push_back("dial " + destination);
        return call.ref;
    }
    void Answer(LineCall& call) override { Do("answer", call, kTsConnected); }
    void Hold(LineCall& call) override { Do("hold", call, kTsHold); }
    void Resume(LineCall& call) override { Do("resume", call, kTsConnected); }
    void HangUp(LineCall& call) override { Do("hangup", call, kTsIdle); }
    void Decline(LineCall& call) override { Do("decline", call, kTsIdle); }
    void Refer(LineCall& call, const std::string& to) override { Do("refer " + to, call, kTsIdle); }
    bool ReferToCall(LineCall& held, LineCall&) override {
        done.push_back("refer " + std::to_string(held.ref));
        return !deferReferral;
    }
    bool Mix(LineCall& held, LineCall& consult) override {
        line->ShowAsMember(held);
        line->ShowAsMember(consult);
        return true;
    }

  private:
    void Do(const std::string& what, LineCall& call, int32_t state) {
        done.push_back(what + " " + std::to_string(call.ref));
        line->Show(call, state);
    }
};

class LineTest : public ::testing::Test {
  protected:
    LineTest() { calls.line = &line; }

    LineCall& Call(const std::string& number, bool outgoing, int32_t state) {
        LineCall& call = line.Add(number, outgoing);
        line.Show(call, state);
        return call;
    }
    std::vector<std::string> Done() { return std::exchange(calls.done, {}); }

    FakeCalls calls;
    std::vector<Args> updates;
    Line line{"1001", calls, [this](int32_t dispid, Args args) {
                  EXPECT_EQ(dispid, bus::kLineUpdate);
                  updates.push_back(std::move(args));
              }};
};

TEST_F(LineTest, OperationsTakeTheCallThatTheirRulesName) {
    LineCall& held = Call("100", true, kTsHold);
    LineCall& talking = Call("200", true, kTsConnected);
    LineCall& waiting = Call("300", false, kTsRingIn);
    // Hanging up takes the call in talk, never the newer one waiting.
    EXPECT_EQ(line.Active(), &talking);
    // Answering the waiting call holds the one in talk first.
    line.Answer(0);
    EXPECT_EQ(Done(), (std::vector<std::string>{"hold 1002", "answer 1003"}));
    // Resume without a reference takes the newest call held here; a call in talk is not on hold.
    line.Resume(0);
    EXPECT_EQ(Done(), (std::vector<std::string>{"hold 1003", "resume 1002"}));
    EXPECT_THROW(line.Resume(talking.ref), LineFailure);
    EXPECT_EQ(held.state, kTsHold);
    EXPECT_EQ(waiting.state, kTsHold);
    // What no call answers is refused before anything is done.
    EXPECT_THROW(line.Answer(0), LineFailure);
    EXPECT_THROW(line.Answer(4242), LineFailure);
    EXPECT_TRUE(Done().empty());
    // The LineUpdates carry the line's text, the state and the direction.
    const Args& last = updates.back();
    EXPECT_EQ(last, (Args{kLineId, int32_t{1002}, std::string("1001"), std::string("1001"), kTsConnected,
                          std::string("200"), int32_t{1}, int32_t{0}, kLineButton}));
}

TEST_F(LineTest, AConsultationHoldsTheCallAndEndsWithEitherOfItsCalls) {
    LineCall& first = Call("100", true, kTsConnected);
    line.Consult("200", Consultation::Transfer);
    EXPECT_EQ(Done(), (std::vector<std::string>{"hold 1001", "dial 200"}));
    EXPECT_EQ(line.Pending(), Consultation::Transfer);
    EXPECT_THROW(line.Consult("300", Consultation::Conference), LineFailure);
    // A transfer that completes later keeps the consultation until it does.
    calls.deferReferral = true;
    line.TransferComplete();
    EXPECT_EQ(line.Pending(), Consultation::Transfer);
    calls.deferReferral = false;
    line.TransferComplete();
    EXPECT_EQ(line.Pending(), Consultation::None);
    EXPECT_THROW(line.TransferComplete(), LineFailure);
    // Cancelled, the consulted call ends and the held one comes back.
    line.Show(first, kTsConnected);
    line.Consult("300", Consultation::Conference);
    Done();
    line.Find(1003)->state = kTsConnected;
    line.CancelConsultation();
    EXPECT_EQ(Done(), (std::vector<std::string>{"hangup 1003", "resume 1001"}));
    // A consultation whose consulted call went leaves nothing to complete.
    line.Consult("400", Consultation::Conference);
    line.Remove(line.ConsultRef());
    EXPECT_EQ(line.Pending(), Consultation::None);
}

TEST_F(LineTest, AConferenceStaysTogether) {
    Call("100", true, kTsConnected);
    line.Consult("200", Consultation::Conference);
    line.Find(1002)->state = kTsConnected;
    line.ConferenceComplete();
    EXPECT_EQ(line.Find(1001)->OtherParty(), "Conference");
    Done();
    // A new call holds nobody of the conference; ending it ends every member.
    line.MakeCall("300");
    EXPECT_EQ(Done(), (std::vector<std::string>{"dial 300"}));
    line.Hold();
    Done();
    line.Find(1003)->state = kTsIdle;
    line.EndCall();
    EXPECT_EQ(Done(), (std::vector<std::string>{"hangup 1001", "hangup 1002"}));
}

TEST_F(LineTest, SoftkeysWithoutAReferenceActOnTheCallTheyFind) {
    // The console sends -1 for a reference it was not given.
    Call("100", false, kTsRingIn);
    EXPECT_TRUE(line.Softkey("answer", -1));
    EXPECT_TRUE(line.Softkey("hold", -1));
    EXPECT_TRUE(line.Softkey("resume", -1));
    EXPECT_EQ(Done(), (std::vector<std::string>{"answer 1001", "hold 1001", "resume 1001"}));
    // endcall names a call ringing in: declined; redial calls the last number again.
    Call("200", false, kTsRingIn);
    EXPECT_TRUE(line.Softkey("endcall", 1002));
    EXPECT_THROW(line.Softkey("redial", -1), LineFailure);
    line.MakeCall("300");
    EXPECT_EQ(Done(), (std::vector<std::string>{"decline 1002", "hold 1001", "dial 300"}));
    EXPECT_TRUE(line.Softkey("redial", -1));
    EXPECT_EQ(Done(), (std::vector<std::string>{"dial 300"}));
    EXPECT_THROW(line.Softkey("transfer", -1), LineFailure);
    // A softkey the line does not know is the phone's own.
    EXPECT_FALSE(line.Softkey("dnd", -1));
}

}  // namespace
}  // namespace quvo::server
