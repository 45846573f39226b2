// The demo's Java desktop application, kept to what shows that the launcher
// started it as configured: it writes what it received to demo-received.txt
// in its working directory and exits. It opens no window, so it runs on a
// machine without a display too.
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;

public final class DemoApp {
    private static final String[] PROPERTIES = {
        "user.dir", "java.version", "java.home", "os.name", "os.arch", "demo.data",
    };

    public static void main(String[] args) throws IOException {
        StringBuilder record = new StringBuilder();
        record.append("arguments: ").append(args.length).append('\n');
        for (int i = 0; i < args.length; i++) {
            record.append("  [").append(i).append("] ").append(args[i]).append('\n');
        }
        for (String name : PROPERTIES) {
            record.append(name).append('=').append(System.getProperty(name)).append('\n');
        }
        Files.write(Paths.get("demo-received.txt"), record.toString().getBytes(StandardCharsets.UTF_8));
        System.out.println("DemoApp: wrote demo-received.txt");
        System.err.println("DemoApp: a line on standard error");
    }
}
