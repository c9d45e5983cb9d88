"""The console's own text protocol, byte for byte: banner, prompts, help, errors,
quit and end of input. No softphone runs, so the console is unbound."""

import harness
from harness import BANNER, ConsoleTestCase

HELP_LIST = (
    "\n"
    + "".join(
        f"\t{syntax}\n"
        for syntax in [
            "RunProgram", "ShowProgram", "HideProgram", "ExitProgram", "Snapshot", "OffHook [line]", "OnHook",
            "MakeCall destination", "Answer [callRefId]", "EndCall", "Hold", "Resume [callRefId]", "DTMF key",
            "Softkey softkey [lineId] [callRefId]", "Transfer destination", "TransferInitiate destination",
            "TransferComplete", "TransferCancel", "ConferenceInitiate destination", "ConferenceComplete",
            "ConferenceCancel", "CallStats", "Messages", "SpkrVolumeUp", "SpkrVolumeDown", "MicVolumeUp",
            "MicVolumeDown", "Mute [on|off]", "EMLogin userID password", "EMLogout", "IPCCLogin agentID pwd ext",
            "IPCCLogout [reason]", "IPCCState [state] [reason]", "IPCCNotReadyReasons", "IPCCLogoutReasons",
            "Help [command]", "Quit",
        ]
    )
    + "\n"
)

# Every command that needs a bound softphone (RunProgram only starts a program).
SOFTPHONE_COMMANDS = [
    "ExitProgram", "ShowProgram", "HideProgram", "MakeCall", "Answer", "EndCall", "Hold", "Resume",
    "OffHook", "OnHook", "DTMF", "Softkey", "Messages", "Snapshot", "CallStats", "Transfer", "TransferInitiate",
    "TransferComplete", "TransferCancel", "ConferenceInitiate", "ConferenceComplete", "ConferenceCancel",
    "SpkrVolumeUp", "SpkrVolumeDown", "MicVolumeUp", "MicVolumeDown", "Mute", "EMLogin", "EMLogout", "IPCCLogin",
    "IPCCLogout", "IPCCState", "IPCCNotReadyReasons", "IPCCLogoutReasons",
]


class Transcripts(ConsoleTestCase):
    with_bus = False

    def run_transcript(self, lines):
        """Feeds all lines, closes the input and returns (status, output, stderr)."""
        console = self.start_console(wait_for_prompt=False)
        for line in lines:
            console.send(line)
        console.close_input()
        status = console.wait_closed(60)
        return status, console.output(), console.stderr()

    def test_session_byte_exact(self):
        status, output, errors = self.run_transcript(
            ["help", "HELP ?", "help makecall", "help snapshot", "help zz", "", "   ", "foo", '"Help" ipccl',
             "MakeCall 1234", "?", "quit", "help"]
        )
        expected = (
            BANNER
            + "> " + HELP_LIST
            + "> " + HELP_LIST
            + "> \n\tCommand syntax:\n\n\t  MakeCall destination\n\n\tInitiate outboud call\n\n\n"
            + "> \n\tCommand syntax:\n\n\t  Snapshot\n\n\tGenerate softphone snapshot\n\n\n"
            + "> \n"
            + "> "
            + "> "
            + "> > Error : ERROR_INVALID_COMMAND\n"
            + "> \n\tCommand syntax:\n\n\t  IPCCLogin agentID pwd ext\n\n\tIPCC login\n\n\n"
            + "> > Error : ERROR_NOT_INITIALIZED\n"
            + "> > Error : ERROR_INVALID_COMMAND\n"
            + "> "
        )
        self.assertEqual(output, expected)
        self.assertEqual(status, 0)
        self.assertEqual(errors, "")

    def test_multiline_help_descriptions(self):
        _, output, _ = self.run_transcript(["help softkey", "help ipccstate", "Quit"])
        self.assertIn(
            "\tSend one of the following softkeys:\n"
            "\t  redial, newcall, hold, transfer, cfwdall, endcall, resume, \n"
            "\t  answer, conference, park, join, meetme, pickup, grouppickup, \n"
            "\t  droplastconferee, callback, dnd, barge, cbarge, divertall, \n"
            "\t  idivert, transfervmail, watch, intercept\n\n\n",
            output,
        )
        self.assertIn("\tQuery or change IPCC agent state to\n\tready, notready, work, workready, worknotready\n\n\n",
                      output)

    def test_every_softphone_command_is_refused_while_unbound(self):
        lines = [f"{word} 1 2 3" for word in SOFTPHONE_COMMANDS] + ["RunProgram 1 2 3", "quit"]
        status, output, _ = self.run_transcript(lines)
        # RunProgram goes on to the settings, which name no program here.
        self.assertEqual(
            output,
            BANNER
            + "> > Error : ERROR_NOT_INITIALIZED\n" * len(SOFTPHONE_COMMANDS)
            + "> > Error : ERROR_PHONE_NOT_FOUND\n"
            + "> ",
        )
        self.assertEqual(status, 0)

    def test_end_of_input_ends_like_quit(self):
        status, output, _ = self.run_transcript(["foo"])
        self.assertEqual(output, BANNER + "> > Error : ERROR_INVALID_COMMAND\n> ")
        self.assertEqual(status, 0)

    def test_long_and_odd_lines_never_break_the_loop(self):
        lines = [
            "x" * 200000,
            "MakeCall " + "9" * 60000,  # long, yet under the 64 KiB line limit
            "a b c d e f g h i j k l m n o p q r s t u v w x y z",
            '"unterminated',
            '""',
            "\t\thelp",
            "help\tmakecall",
            "\x01\x02\x7f",
            "quit",
        ]
        status, output, errors = self.run_transcript(lines)
        self.assertEqual(
            output,
            BANNER
            + "> > Error : ERROR_INVALID_COMMAND\n"
            + "> > Error : ERROR_NOT_INITIALIZED\n"
            + "> > Error : ERROR_INVALID_COMMAND\n"
            + "> > Error : ERROR_INVALID_COMMAND\n"
            + "> "
            + "> " + HELP_LIST
            + "> > Error : ERROR_INVALID_COMMAND\n"
            + "> > Error : ERROR_INVALID_COMMAND\n"
            + "> ",
        )
        self.assertEqual(status, 0)
        self.assertEqual(errors, "")

    def test_prompt_reaches_a_pipe_before_the_read(self):
        console = self.start_console()
        # The banner and the prompt are seen without any input.
        console.expect("> ", timeout=10)
        self.assertEqual(console.command("help zz"), "")
        self.assertEqual(console.quit(), 0)
        self.assertEqual(console.output(), BANNER + "> \n> ")


if __name__ == "__main__":
    harness.main()
