// The demo's Java desktop application, kept to what shows that the launcher
// started it as configured: a window that lists what it received (its
// arguments, its working folder and a few system properties), placed beside
// the splash so that one screenshot shows both. It writes the same to
// demo-received.txt in its working folder, for the demo to wait on, and
// closes itself after demo.seconds seconds. Without a display it only writes
// the file.
import java.awt.Font;
import java.awt.GraphicsEnvironment;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;
import javax.swing.JFrame;
import javax.swing.JTextArea;
import javax.swing.SwingUtilities;
import javax.swing.Timer;

public final class DemoApp {
    private static final String[] PROPERTIES = {
        "user.dir", "java.version", "java.home", "os.name", "os.arch", "demo.data",
    };

    public static void main(String[] args) throws Exception {
        StringBuilder record = new StringBuilder();
        record.append("arguments: ").append(args.length).append('\n');
        for (int i = 0; i < args.length; i++) {
            record.append("  [").append(i).append("] ").append(args[i]).append('\n');
        }
        for (String name : PROPERTIES) {
            record.append(name).append('=').append(System.getProperty(name)).append('\n');
        }
        String received = record.toString();
        if (!GraphicsEnvironment.isHeadless()) {
            int seconds = Integer.getInteger("demo.seconds", 6);
            // The window is up before the file exists: whoever waits for the
            // file may take the screenshot at once.
            SwingUtilities.invokeAndWait(() -> show(received, seconds));
        }
        write(received);
        System.out.println("DemoApp: wrote demo-received.txt");
        System.err.println("DemoApp: a line on standard error");
    }

    private static void show(String received, int seconds) {
        JFrame frame = new JFrame("Demo application: what the launcher passed");
        JTextArea text = new JTextArea("Started by the launcher with\n\n" + received);
        text.setEditable(false);
        text.setFont(new Font(Font.MONOSPACED, Font.PLAIN, 12));
        frame.add(text);
        frame.setDefaultCloseOperation(JFrame.EXIT_ON_CLOSE);
        // Top left: the splash stands in the middle of the screen.
        frame.setBounds(16, 16, 560, 250);
        frame.setVisible(true);
        Timer close = new Timer(seconds * 1000, event -> System.exit(0));
        close.setRepeats(false);
        close.start();
    }

    private static void write(String received) throws IOException {
        Files.write(Paths.get("demo-received.txt"), received.getBytes(StandardCharsets.UTF_8));
    }
}
